# Smoke test of talvane.exe on a real Windows 10 (October 2018) or newer console, after building:
#   powershell -ExecutionPolicy Bypass -File scripts\windows-smoke.ps1 [-BuildDir build\windows]
# Runs talvane with the fake agent copied as claude.exe into a temporary directory on PATH, then
# checks the exit code, the relayed output and that the console input mode is put back. Prints
# PASS or FAIL per check and exits 1 on any failure. Run it in a console window (conhost or
# Windows Terminal), not in the ISE: talvane needs a real console.
param([string]$BuildDir = "build\windows")

$ErrorActionPreference = "Stop"
$talvane = Join-Path $BuildDir "talvane.exe"
$fakeAgent = Join-Path $BuildDir "fake_agent.exe"
foreach ($file in @($talvane, $fakeAgent)) {
    if (-not (Test-Path $file)) { Write-Host "FAIL: $file not found (build first)"; exit 1 }
}

Add-Type -Namespace Smoke -Name Console -MemberDefinition @'
[DllImport("kernel32.dll")] public static extern System.IntPtr GetStdHandle(int which);
[DllImport("kernel32.dll")] public static extern bool GetConsoleMode(System.IntPtr handle, out uint mode);
'@

function Get-InputMode {
    $mode = [uint32]0
    $STD_INPUT_HANDLE = -10
    if (-not [Smoke.Console]::GetConsoleMode([Smoke.Console]::GetStdHandle($STD_INPUT_HANDLE), [ref]$mode)) {
        return $null
    }
    return $mode
}

# The text of the console's screen buffer from line $from down to the cursor.
# In Windows Terminal the buffer is only the window's height and scrolls, so the start line is
# kept within the buffer and reaches back one window height.
function Get-ScreenText([int]$from) {
    $ui = $Host.UI.RawUI
    $to = $ui.CursorPosition.Y
    $from = [Math]::Max(0, [Math]::Min($from, $to) - $ui.WindowSize.Height)
    $rect = New-Object System.Management.Automation.Host.Rectangle 0, $from, ($ui.BufferSize.Width - 1), $to
    $cells = $ui.GetBufferContents($rect)
    $text = New-Object System.Text.StringBuilder
    for ($y = 0; $y -le $cells.GetUpperBound(0); $y++) {
        for ($x = 0; $x -le $cells.GetUpperBound(1); $x++) { [void]$text.Append($cells[$y, $x].Character) }
    }
    return $text.ToString()
}

$failures = 0
function Check([string]$name, [bool]$ok, [string]$detail = "") {
    if ($ok) { Write-Host "PASS: $name" } else { Write-Host "FAIL: $name $detail"; $script:failures++ }
}

$work = Join-Path ([System.IO.Path]::GetTempPath()) ("talvane-smoke-" + [guid]::NewGuid())
$bin = Join-Path $work "bin"
$record = Join-Path $work "record"
New-Item -ItemType Directory -Path $bin, $record | Out-Null
Copy-Item $fakeAgent (Join-Path $bin "claude.exe")

$names = "PATH", "TALVANE_DATA_DIR", "FAKE_AGENT_DIR", "FAKE_AGENT_PRINT", "FAKE_AGENT_EXIT_CODE", "FAKE_AGENT_EXIT_AT_ONCE"
$saved = @{}
foreach ($name in $names) { $saved[$name] = [Environment]::GetEnvironmentVariable($name) }
try {
    $modeBefore = Get-InputMode
    Check "standard input is a console" ($null -ne $modeBefore)
    $firstLine = $Host.UI.RawUI.CursorPosition.Y

    $env:PATH = "$bin;$env:SystemRoot\System32"
    $env:TALVANE_DATA_DIR = $work   # no app here: the agent runs without voice replies
    $env:FAKE_AGENT_DIR = $record
    # Unique per run, so that an earlier run's output on the screen cannot pass for this one's.
    $marker = "smoke-output-" + [guid]::NewGuid().ToString("N")
    $env:FAKE_AGENT_PRINT = "$marker`r`n"
    $env:FAKE_AGENT_EXIT_CODE = "3"
    $env:FAKE_AGENT_EXIT_AT_ONCE = "1"
    $process = Start-Process -FilePath $talvane -ArgumentList "claude", "--smoke" -NoNewWindow -PassThru
    $null = $process.Handle   # keeps the handle, without which ExitCode may read as empty
    if (-not $process.WaitForExit(30000)) { $process.Kill(); $process.WaitForExit() }

    Check "talvane ends with the agent's exit code" ($process.ExitCode -eq 3) "(got $($process.ExitCode))"
    $argv = ""
    $argvFile = Join-Path $record "argv"
    if (Test-Path $argvFile) { $argv = [System.IO.File]::ReadAllText($argvFile) }
    Check "the agent gets its arguments" ($argv -like "*`0--smoke`0") ($argv -replace "`0", " | ")
    $screen = Get-ScreenText $firstLine
    Check "the agent's output is relayed to the console" ($screen.Contains($marker))
    $modeAfter = Get-InputMode
    Check "the console input mode is restored" ($modeAfter -eq $modeBefore) ("(before 0x{0:X}, after 0x{1:X})" -f $modeBefore, $modeAfter)
} finally {
    foreach ($name in $names) { [Environment]::SetEnvironmentVariable($name, $saved[$name]) }
    Remove-Item -Recurse -Force $work -ErrorAction SilentlyContinue
}

if ($failures -gt 0) { exit 1 }
exit 0
