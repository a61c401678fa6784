#!/usr/bin/env bash
# Validates the GitHub workflows against the schema of GitHub Actions, with the linter pinned in
# tools/ci-lint (installed from its lock file into build/ci-lint on first use).
set -euo pipefail
cd "$(dirname "$0")/.."
lint=build/ci-lint
if ! cmp -s tools/ci-lint/package-lock.json "$lint/package-lock.json" ||
   [ ! -x "$lint/node_modules/.bin/action-validator" ]; then
  command -v npm >/dev/null || scripts/deps.sh npm
  rm -rf "$lint"
  mkdir -p "$lint"
  cp tools/ci-lint/package.json tools/ci-lint/package-lock.json "$lint/"
  (cd "$lint" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
fi
for workflow in .github/workflows/*.yml; do
  "$lint/node_modules/.bin/action-validator" "$workflow"
  echo "workflow $workflow: valid"
done
