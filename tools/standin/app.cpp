#include "standin/app.h"
