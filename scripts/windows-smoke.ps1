# Smoke test of talvane.exe on a real Windows 10 (October 2018) or newer console, after building:
#   powershell -ExecutionPolicy Bypass -File scripts\windows-smoke.ps1 [-BuildDir build\windows]
# Runs talvane with the fake agent copied as claude.exe into a temporary directory on PATH, then
# checks the exit code, the relayed output and that the console's modes are put back. It also
# checks what the Wine end-to-end tests cannot show: a voice reply's paste markers (a 6 KB reply
# whole) and Ctrl+C (0x03) reaching the agent, exit code 259, escape sequences interpreted rather
# than shown (the classic console host included), an agent found in the current directory through
# an empty PATH element, and, in a classic console window, that a run whose agent exits while a
# selection holds the console's output still ends (the pseudo-console's close, which before
# Windows 11 24H2 waits until its last output has been read, must not hold it). Prints PASS or
# FAIL per check and exits 1 on any failure. Run it in a console window (conhost or Windows
# Terminal), not in the ISE: talvane needs a real console. Run it once in a classic console window
# (conhost.exe) as well.
param([string]$BuildDir = "build\windows")

$ErrorActionPreference = "Stop"
$talvane = Join-Path $BuildDir "talvane.exe"
$fakeAgent = Join-Path $BuildDir "fake_agent.exe"
$consoleTool = Join-Path $BuildDir "console_tool.exe"
$standin = Join-Path $BuildDir "talvane-standin.exe"
foreach ($file in @($talvane, $fakeAgent, $consoleTool, $standin)) {
    if (-not (Test-Path $file)) { Write-Host "FAIL: $file not found (build first)"; exit 1 }
}

Add-Type -Namespace Smoke -Name Console -MemberDefinition @'
[DllImport("kernel32.dll")] public static extern System.IntPtr GetStdHandle(int which);
[DllImport("kernel32.dll")] public static extern bool GetConsoleMode(System.IntPtr handle, out uint mode);
[DllImport("kernel32.dll")] public static extern System.IntPtr GetConsoleWindow();
[DllImport("user32.dll")] public static extern bool PostMessageW(System.IntPtr window, uint message, System.IntPtr w, System.IntPtr l);
'@

function Get-Mode([int]$which) {
    $mode = [uint32]0
    if (-not [Smoke.Console]::GetConsoleMode([Smoke.Console]::GetStdHandle($which), [ref]$mode)) {
        return $null
    }
    return $mode
}
$STD_INPUT_HANDLE = -10
$STD_OUTPUT_HANDLE = -11
function Get-InputMode { return Get-Mode $STD_INPUT_HANDLE }
function Get-OutputMode { return Get-Mode $STD_OUTPUT_HANDLE }

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

$esc = [string][char]27
$failures = 0
function Check([string]$name, [bool]$ok, [string]$detail = "") {
    if ($ok) { Write-Host "PASS: $name" } else { Write-Host "FAIL: $name $detail"; $script:failures++ }
}

$work = Join-Path ([System.IO.Path]::GetTempPath()) ("talvane-smoke-" + [guid]::NewGuid())
$bin = Join-Path $work "bin"
$record = Join-Path $work "record"
New-Item -ItemType Directory -Path $bin, $record | Out-Null
Copy-Item $fakeAgent (Join-Path $bin "claude.exe")

# Starts talvane with these arguments in $dir and waits for it (30 s at most); its exit code.
function Invoke-Talvane([string[]]$arguments, [string]$dir) {
    $process = Start-Process -FilePath $talvane -ArgumentList $arguments -WorkingDirectory $dir -NoNewWindow -PassThru
    $null = $process.Handle   # keeps the handle, without which ExitCode may read as empty
    if (-not $process.WaitForExit(30000)) { $process.Kill(); $process.WaitForExit(); return "(still running after 30 s)" }
    return $process.ExitCode
}

function Read-Record([string]$name) {
    $file = Join-Path $record $name
    if (Test-Path $file) { return [System.IO.File]::ReadAllText($file) }
    return ""
}

$names = "PATH", "WT_SESSION", "TALVANE_DATA_DIR", "FAKE_AGENT_DIR", "FAKE_AGENT_PRINT", "FAKE_AGENT_PRINT_BYTES", "FAKE_AGENT_EXIT_CODE", "FAKE_AGENT_EXIT_AT_ONCE", "FAKE_AGENT_EXIT_ON"
$saved = @{}
foreach ($name in $names) { $saved[$name] = [Environment]::GetEnvironmentVariable($name) }
$app = $null
try {
    $modeBefore = Get-InputMode
    $outputModeBefore = Get-OutputMode
    Check "standard input is a console" ($null -ne $modeBefore)
    $firstLine = $Host.UI.RawUI.CursorPosition.Y

    $env:PATH = "$bin;$env:SystemRoot\System32"
    $env:TALVANE_DATA_DIR = $work   # no app here: the agent runs without voice replies
    $env:FAKE_AGENT_DIR = $record
    # Unique per run, so that an earlier run's output on the screen cannot pass for this one's.
    $marker = "smoke-output-" + [guid]::NewGuid().ToString("N")
    $coloured = "smoke-colour-" + [guid]::NewGuid().ToString("N")
    $env:FAKE_AGENT_PRINT = "$marker`r`n$esc[31m$coloured$esc[0m`r`n"
    $env:FAKE_AGENT_EXIT_CODE = "3"
    $env:FAKE_AGENT_EXIT_AT_ONCE = "1"
    $code = Invoke-Talvane @("claude", "--smoke") $work

    Check "talvane ends with the agent's exit code" ($code -eq 3) "(got $code)"
    $argv = Read-Record "argv"
    Check "the agent gets its arguments" ($argv -like "*`0--smoke`0") ($argv -replace "`0", " | ")
    $screen = Get-ScreenText $firstLine
    Check "the agent's output is relayed to the console" ($screen.Contains($marker))
    Check "escape sequences are interpreted, not shown" ($screen.Contains($coloured) -and -not $screen.Contains("[31m"))
    $modeAfter = Get-InputMode
    Check "the console input mode is restored" ($modeAfter -eq $modeBefore) ("(before 0x{0:X}, after 0x{1:X})" -f $modeBefore, $modeAfter)
    $outputModeAfter = Get-OutputMode
    Check "the console output mode is restored" ($outputModeAfter -eq $outputModeBefore) ("(before 0x{0:X}, after 0x{1:X})" -f $outputModeBefore, $outputModeAfter)

    # 259 is STILL_ACTIVE: the run must still end, with its low byte.
    $env:FAKE_AGENT_PRINT = ""
    $env:FAKE_AGENT_EXIT_CODE = "259"
    $code = Invoke-Talvane @("claude") $work
    Check "an agent's exit code 259 ends the run with 3" ($code -eq 3) "(got $code)"

    # An agent in the current directory, found through PATH's empty element, is the one started.
    $here = Join-Path $work "here"
    New-Item -ItemType Directory -Path $here | Out-Null
    Copy-Item $fakeAgent (Join-Path $here "claude.exe")
    $env:PATH = ";$env:SystemRoot\System32"
    $env:FAKE_AGENT_EXIT_CODE = "0"
    $code = Invoke-Talvane @("claude") $here
    $argv = Read-Record "argv"
    $expected = (Join-Path $here "claude.exe") + "`0"
    Check "an agent in the current directory starts by its full path" (($code -eq 0) -and $argv.StartsWith($expected)) "(exit $code, argv $($argv -replace "`0", " | "))"

    # A selection (the classic console's Mark) holds the console's output while the agent
    # writes and exits: the run still ends, within a few seconds, not only once the selection is
    # let go. WT_SESSION keeps talvane from printing a notice before the agent (that write would
    # wait for the selection too). Windows Terminal has no console window to send Mark to.
    $window = [Smoke.Console]::GetConsoleWindow()
    if ($null -eq $saved["WT_SESSION"] -and $window -ne [System.IntPtr]::Zero) {
        $WM_SYSCOMMAND = 0x0112; $ID_CONSOLE_MARK = 0xFFF2; $WM_KEYDOWN = 0x0100; $VK_ESCAPE = 0x1B
        $env:WT_SESSION = "smoke"
        $env:FAKE_AGENT_PRINT_BYTES = "32768"
        $env:FAKE_AGENT_EXIT_AT_ONCE = "1"
        $null = [Smoke.Console]::PostMessageW($window, $WM_SYSCOMMAND, [System.IntPtr]$ID_CONSOLE_MARK, [System.IntPtr]::Zero)
        Start-Sleep -Milliseconds 300
        $process = Start-Process -FilePath $talvane -ArgumentList "claude" -WorkingDirectory $work -NoNewWindow -PassThru
        $null = $process.Handle
        $ended = $process.WaitForExit(15000)
        $null = [Smoke.Console]::PostMessageW($window, $WM_KEYDOWN, [System.IntPtr]$VK_ESCAPE, [System.IntPtr]::Zero)
        if (-not $process.WaitForExit(30000)) { $process.Kill(); $process.WaitForExit() }
        Check "a run ends while a selection holds the output" $ended
        $modeAfter = Get-InputMode
        Check "the console input mode is restored after the held run" ($modeAfter -eq $modeBefore) ("(before 0x{0:X}, after 0x{1:X})" -f $modeBefore, $modeAfter)
        $env:WT_SESSION = $null
        $env:FAKE_AGENT_PRINT_BYTES = ""
    } else {
        Write-Host "SKIP: a run ends while a selection holds the output (needs a classic console window)"
    }

    # A voice reply from the stand-in app, then Ctrl+C typed as a key: both reach the agent as
    # they are (Wine's pseudo-console drops the paste markers and the 0x03).
    $env:PATH = "$bin;$env:SystemRoot\System32"
    $appDir = Join-Path $work "app"
    $script = Join-Path $work "standin-script.txt"
    [System.IO.File]::WriteAllText($script, "reply smoke-reply`n")
    $app = Start-Process -FilePath $standin -ArgumentList "--data-dir", $appDir, "--script", $script -NoNewWindow -PassThru -RedirectStandardOutput (Join-Path $work "standin.out")
    $deadline = (Get-Date).AddSeconds(10)
    while (-not (Test-Path (Join-Path $appDir "*")) -and (Get-Date) -lt $deadline) { Start-Sleep -Milliseconds 100 }
    $env:TALVANE_DATA_DIR = $appDir
    $env:FAKE_AGENT_EXIT_AT_ONCE = ""
    $env:FAKE_AGENT_EXIT_ON = "29"   # Ctrl+]
    $process = Start-Process -FilePath $talvane -ArgumentList "claude" -WorkingDirectory $work -NoNewWindow -PassThru
    $null = $process.Handle
    $pasted = "$esc[200~smoke-reply$esc[201~`r"
    $deadline = (Get-Date).AddSeconds(30)
    while (-not (Read-Record "input").Contains($pasted) -and (Get-Date) -lt $deadline) { Start-Sleep -Milliseconds 100 }
    & $consoleTool type talvane.exe 031d
    if (-not $process.WaitForExit(30000)) { $process.Kill(); $process.WaitForExit() }
    $received = Read-Record "input"
    $shown = "(got " + ($received -replace $esc, "ESC") + ")"
    Check "a Claude reply reaches the agent with its paste markers and Enter" ($received.StartsWith($pasted)) $shown
    Check "Ctrl+C reaches the agent as 0x03" ($received.Contains([string][char]3)) $shown
    Check "talvane ends with the agent's exit code after the reply" ($process.ExitCode -eq 0) "(got $($process.ExitCode))"

    # Runs talvane with the fake agent as $agent while the stand-in app sends $reply (its script
    # form: line breaks as \n); types Ctrl+] once the agent has read a CR, or after $seconds,
    # and returns what the agent read.
    function Invoke-Reply([string]$agent, [string]$reply, [int]$seconds, [string]$log) {
        Copy-Item $fakeAgent (Join-Path $bin "$agent.exe") -Force
        Remove-Item (Join-Path $record "input") -ErrorAction SilentlyContinue
        [System.IO.File]::WriteAllText($script, "reply $reply`n")
        $replier = Start-Process -FilePath $standin -ArgumentList "--data-dir", $appDir, "--script", $script -NoNewWindow -PassThru -RedirectStandardOutput (Join-Path $work $log)
        $run = Start-Process -FilePath $talvane -ArgumentList $agent -WorkingDirectory $work -NoNewWindow -PassThru
        $null = $run.Handle
        $deadline = (Get-Date).AddSeconds($seconds)
        while (-not (Read-Record "input").Contains("`r") -and (Get-Date) -lt $deadline) { Start-Sleep -Milliseconds 100 }
        & $consoleTool type talvane.exe 1d | Out-Host
        if (-not $run.WaitForExit(30000)) { $run.Kill(); $run.WaitForExit() }
        if (-not $replier.HasExited) { $replier.Kill() }
        return (Read-Record "input")
    }

    # A two-line Codex reply: what the console hands the agent for the line break and the Enter
    # (Wine's console turns LF into Ctrl+Enter and the Enter into a plain Enter; whether this
    # console does the same, and whether the Enter comes after the text, only a real host shows).
    # With the real codex.exe on PATH as well, a two-line reply must be submitted: see the README.
    $received = Invoke-Reply "codex" "first line\nsecond line" 30 "standin2.out"
    $shown = "(got " + (($received -replace $esc, "ESC") -replace "`r", "CR" -replace "`n", "LF") + ")"
    Check "a two-line Codex reply reaches the agent with its line break and then its Enter" ($received.StartsWith("first line`nsecond line`r") -or $received.StartsWith("$esc[200~first line`nsecond line$esc[201~`r")) $shown

    # A 6 KB Claude reply: claude.exe takes any one read of over 800 characters for a paste of
    # its own and loses it, so talvane.exe writes it as pieces of at most 400 bytes, each in its
    # own paste markers, each once the agent has drawn (2 s at most: this agent does not draw).
    # Here the pieces must join to the whole text, then the Enter. With the real claude.exe on
    # PATH as well, a 6 KB reply must be submitted: see the README.
    $line = "a long smoke reply line to fill six kilobytes with plain words"
    $long = (1..100 | ForEach-Object { "$line $_" }) -join "\n"
    $received = Invoke-Reply "claude" $long 90 "standin3.out"
    $joined = $received -replace [regex]::Escape("$esc[200~"), "" -replace [regex]::Escape("$esc[201~"), ""
    Check "a 6 KB Claude reply reaches the agent whole, in pieces, then its Enter" ($joined.StartsWith(($long -replace "\\n", "`n") + "`r")) ("(got {0} characters)" -f $received.Length)
} finally {
    if ($null -ne $app -and -not $app.HasExited) { $app.Kill() }
    foreach ($name in $names) { [Environment]::SetEnvironmentVariable($name, $saved[$name]) }
    Remove-Item -Recurse -Force $work -ErrorAction SilentlyContinue
}

if ($failures -gt 0) { exit 1 }
exit 0
