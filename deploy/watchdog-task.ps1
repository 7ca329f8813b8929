#Requires -Version 3.0

<#
.SYNOPSIS
Installs, starts, checks, stops and removes the scheduled task that keeps the
Zentrova server of this script's folder running under watchdog.exe.

.DESCRIPTION
Run it from the server's folder, where it lies beside watchdog.exe,
run-watchdog.exe and Zentrova.exe: it acts on that folder and on no other,
by the path that Windows finally opens for it, however it was typed. The
folder's task is the one whose only action is

    <folder>\run-watchdog.exe

with no arguments, started in the folder, whatever its name: install
registers it so, and no other task is ever changed. A task that names the
folder's files otherwise is reported and left alone. A task of 1.1.0's form
(cmd.exe running the folder's run-watchdog.cmd) is the folder's old task:
stop stops it and its programs, install converts it in place (keeping its
name, account and state), every other verb asks for install first. To
update: stop, copy the new files, install.

Every verb checks first and changes nothing when a check fails; then it acts
and says what it did. A step that fails stops the verb, saying why and what
was done before it. Every verb but status needs an elevated PowerShell.
Needs Windows PowerShell 3.0 or later, or PowerShell 7; it drives Task
Scheduler through its COM interface, the same on every Windows and every
PowerShell.

Exit status of status, as init scripts have it:
    0  supervised: the task runs this folder's one set (the server, the
       3-second pause, or the runner's minute after a failure)
    1  something of this folder runs, but not as the task's one set (two
       sets, a server without a watchdog, a set started by hand, processes
       of a disabled task, a set of 1.1.0)
    3  not running (not installed, never run, ended, could not start,
       disabled)
    4  could not tell (not elevated and something is hidden, or a check
       failed)
Every other verb: 0 when done; otherwise 1, after the line that says what
was not done.

.PARAMETER Verb
install  registers the folder's task: at boot, whether or not anyone is
         logged on, priority 4 (normal), no time limit; a task that exists
         keeps its state (a stopped one stays stopped) unless -Start is given
start    enables the task and runs it
status   tells what runs in the folder and what the task last did
stop     disables the task, then ends the folder's runner, watchdogs and
         servers (and a set of 1.1.0): the server ends at once, as by a crash
restart  stop, then start
remove   stop, then unregisters the task; the log stays

.PARAMETER Credential
install: the account that runs the server and its password. Without it,
install asks for them (not under -NonInteractive).

.PARAMETER TaskName
install: the name of a new task; by default "Zentrova watchdog <folder's
name>". A task that exists keeps its name.

.PARAMETER Start
install: start the task once it is registered.

.EXAMPLE
.\watchdog-task.ps1 install -Start

.EXAMPLE
$c = Get-Credential SERVER\zentrova; .\watchdog-task.ps1 install -Credential $c -Start

.EXAMPLE
.\watchdog-task.ps1 status; $LASTEXITCODE
#>
[CmdletBinding()]
param(
    [Parameter(Mandatory = $true, Position = 0)]
    [ValidateSet('install', 'start', 'status', 'stop', 'restart', 'remove')]
    [string] $Verb,
    [System.Management.Automation.PSCredential] $Credential,
    [ValidatePattern('^[^\\/:*?"<>|%]+$')]
    [string] $TaskName,
    [switch] $Start
)

$ErrorActionPreference = 'Stop'
$Done = New-Object System.Collections.ArrayList
# Task Scheduler's codes ("Task Scheduler Error and Success Constants",
# "TASK_STATE enumeration"), and the results of a run that did not start, as
# the logon or the start gives them, by their hexadecimal text: PowerShell
# reads 0x80000000 and above as negative.
$NeverRun = 0x41303
$StateRunning = 4
$StartFailures = @{
    '0x80070569' = 'the account could not log on: it lacks the right "Log on as a batch job": grant it (secpol.msc, User Rights Assignment)'
    '0x8007052E' = 'the account could not log on: unknown user name or bad password: install again with the account''s current password'
    '0x80070532' = 'the account could not log on: its password has expired: change it, then install again with it'
    '0x80070773' = 'the account could not log on: its password must be changed first: change it, then install again with it'
    '0x80070520' = 'the account could not log on: the policy "Network access: Do not allow storage of passwords and credentials for network authentication" is on'
    '0x80070533' = 'the account could not log on: it is disabled: enable it'
    '0x80070775' = 'the account could not log on: it is locked out: unlock it'
    '0x80070701' = 'the account could not log on: it has expired: extend it'
    '0x8007052F' = 'the account could not log on: an account restriction forbids it (a blank password, say, or a policy)'
    '0x80070530' = 'the account could not log on: not at this hour (its logon hours)'
    '0x80070531' = 'the account could not log on: not at this computer (the workstations it may log on to)'
    '0x8007051F' = 'the account could not log on: no logon server answered; at boot, a domain account''s logon can come before the network or the domain controller'
    '0x8007010B' = 'the folder it starts in could not be opened: check that the folder exists and that the account may read it'
}

# Kernel32's own answer to which folder a path opens, and what a drive is.
$Win32 = @'
[DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
public static extern Microsoft.Win32.SafeHandles.SafeFileHandle CreateFileW(string name, uint access, uint share, IntPtr security, uint disposition, uint flags, IntPtr template);
[DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
public static extern uint GetFinalPathNameByHandleW(Microsoft.Win32.SafeHandles.SafeFileHandle file, System.Text.StringBuilder path, uint size, uint flags);
[DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
public static extern uint QueryDosDeviceW(string device, System.Text.StringBuilder target, uint size);
'@

trap {
    $what = if ($Done.Count) { 'Done before it: ' + ($Done -join '; ') + '.' } else { 'Nothing was changed.' }
    Write-Host "$Verb failed: $(Get-Reason $_) $what"
    exit $(if ($Verb -eq 'status') { 4 } else { 1 })
}

function Stop-Verb([string] $Why, [int] $Status = 1) {
    Write-Host $Why
    exit $Status
}

function Test-File([string] $Name) {
    Test-Path -LiteralPath (Join-Path $PSScriptRoot $Name) -PathType Leaf
}

# Elevated means a token of high (or system) integrity, which whoami lists by
# its SID whatever the system's language.
function Test-Elevated {
    $groups = @(whoami.exe /groups /fo csv /nh)
    if ($LASTEXITCODE -ne 0) { throw "whoami.exe /groups ended with $LASTEXITCODE." }
    [bool]($groups -match '"S-1-16-(12288|16384)"')
}

# The path that Windows finally opens for a folder, past a subst drive, a
# junction or link and short names (GetFinalPathNameByHandleW); a mapped
# network drive comes back as its share.
function Get-FinalPath([string] $Path) {
    # No access asked; FILE_FLAG_BACKUP_SEMANTICS opens a folder.
    $file = [WatchdogTask.Win32]::CreateFileW($Path, 0, 7, [IntPtr]::Zero, 3, 0x02000000, [IntPtr]::Zero)
    if ($file.IsInvalid) { throw (New-Object ComponentModel.Win32Exception ([Runtime.InteropServices.Marshal]::GetLastWin32Error())) }
    try {
        $name = New-Object Text.StringBuilder 32768
        $length = [WatchdogTask.Win32]::GetFinalPathNameByHandleW($file, $name, $name.Capacity, 0)
        if (-not $length -or $length -ge $name.Capacity) { throw (New-Object ComponentModel.Win32Exception ([Runtime.InteropServices.Marshal]::GetLastWin32Error())) }
    } finally { $file.Dispose() }
    $name.ToString() -replace '^\\\\\?\\UNC\\', '\\' -replace '^\\\\\?\\' -replace '\\$'
}

# Another folder's path as it is finally opened; one that cannot be opened
# (gone, or not this account's to see) as it is spelled.
function Resolve-Folder([string] $Path) {
    if (-not $Resolved.Contains($Path)) { $Resolved[$Path] = $(try { Get-FinalPath $Path } catch { $Path.TrimEnd('\') }) }
    $Resolved[$Path]
}

# A failure's own words and, where they lack it, its code: a COM call's
# failure arrives wrapped, and its innermost exception has both.
function Get-Reason($ErrorRecord) {
    $e = $ErrorRecord.Exception
    while ($e.InnerException) { $e = $e.InnerException }
    $why = ($e.Message -replace '\s+', ' ').Trim()
    $code = '0x{0:X8}' -f $e.HResult
    if ($code -match '^0x800[47]' -and -not $why.Contains($code)) { $why += " ($code)" }
    $why
}

# One step of Task Scheduler's: its failure, an exception whatever the
# caller's preferences, stops the verb through the trap, naming the step.
function Invoke-Scheduler([string] $Step, [scriptblock] $Call) {
    try { & $Call } catch { throw "Could not ${Step}: $(Get-Reason $_)" }
}

function Assert-Ready([switch] $Elevated) {
    if (-not (Test-File 'watchdog.exe')) {
        Stop-Verb "There is no watchdog.exe in ${Folder}: run the script that lies beside the server's watchdog.exe. Nothing was changed." $(if ($Verb -eq 'status') { 4 } else { 1 })
    }
    if ($Elevated -and -not (Test-Elevated)) {
        Stop-Verb "Not elevated: $Verb needs a PowerShell run as administrator. Nothing was changed."
    }
    # Task Scheduler's COM interface rather than its cmdlets: the same objects
    # under Windows PowerShell and PowerShell 7 (which gets the cmdlets of
    # Windows Server 2012 and 2012 R2 only through its compatibility layer,
    # as deserialized objects), and its failures are exceptions, which the
    # trap above catches whatever the caller's preferences, where the
    # cmdlets' errors are not terminating and this script's preference does
    # not reach them.
    $script:Scheduler = Invoke-Scheduler 'reach Task Scheduler' { $service = New-Object -ComObject Schedule.Service; $service.Connect(); $service }
    $script:AllTasks = @(Read-Tasks)
    foreach ($other in Get-OtherTasks) {
        Write-Host "Left alone: the task '$($other.Path)' names this folder's files, but not as install registers them."
    }
}

# Every task that can be read, once a verb: a task folder or a task that this
# console cannot read (another program's) stops no verb, but the root folder
# does, where this folder's task may lie.
function Read-Tasks {
    $folders = New-Object System.Collections.Queue
    $folders.Enqueue((Invoke-Scheduler 'read the task folder ''\''' { $Scheduler.GetFolder('\') }))
    while ($folders.Count) {
        $taskFolder = $folders.Dequeue()
        try {
            foreach ($f in @($taskFolder.GetFolders(0))) { $folders.Enqueue($f) }
            # 1: TASK_ENUM_HIDDEN, hidden tasks too.
            $tasks = @($taskFolder.GetTasks(1))
        } catch {
            $why = "the task folder '$($taskFolder.Path)': $(Get-Reason $_)"
            if ($taskFolder.Path -eq '\') { throw "Could not read $why" }
            Write-Host "Passed over, unreadable: $why"
            continue
        }
        foreach ($t in $tasks) {
            # PowerShell gives $null for a property whose reading failed.
            $definition = $t.Definition
            if (-not $definition) { Write-Host "Passed over, unreadable: the task '$($t.Path)'."; continue }
            [pscustomobject]@{
                Task = $t; Path = $t.Path; Name = $t.Name; Folder = $taskFolder.Path
                Form = Get-TaskForm @($definition.Actions); UserId = $definition.Principal.UserId
                # 8: TASK_TRIGGER_BOOT.
                Boots = [bool]@($definition.Triggers | Where-Object { $_.Type -eq 8 -and $_.Enabled })
            }
        }
    }
}

# 'runner' for the folder's action as install registers it, 'batch' for
# 1.1.0's, 'other' for one that names the folder's files otherwise. A folder
# is known by its final path, however a task spells it.
function Get-TaskForm($Actions) {
    $a = $Actions[0]
    # 0: TASK_ACTION_EXEC.
    if ($Actions.Count -eq 1 -and $a.Type -eq 0) {
        $dir = "$($a.WorkingDirectory)".TrimEnd('\')
        if (-not $a.Arguments -and "$($a.Path)".Trim('"') -eq "$dir\run-watchdog.exe" -and (Resolve-Folder $dir) -eq $Folder) { return 'runner' }
        if ($a.Path -eq "$env:SystemRoot\System32\cmd.exe" -and $a.Arguments -eq ('/d /c ""{0}\run-watchdog.cmd" >> "{0}\watchdog.log" 2>&1"' -f $dir) -and
            (Resolve-Folder $dir) -eq $Folder) { return 'batch' }
    }
    # A task names this folder's files when its action names one of them with
    # the folder, or by its name alone in the folder as its working directory.
    foreach ($a in $Actions) {
        $inFolder = "$($a.WorkingDirectory)".TrimEnd('\') -eq $Folder
        foreach ($file in 'run-watchdog.exe', 'run-watchdog.cmd', 'watchdog.exe', 'Zentrova.exe') {
            if (Test-Contains "$($a.Path) $($a.Arguments)" $(if ($inFolder) { $file } else { "$Folder\$file" })) { return 'other' }
        }
    }
}

function Get-FolderTasks {
    $AllTasks | Where-Object { $_.Form -eq 'runner' -or $_.Form -eq 'batch' }
}

function Get-OtherTasks {
    $AllTasks | Where-Object { $_.Form -eq 'other' }
}

# A task of another form that is enabled starts this folder's programs as
# well: no verb that is to leave one set running goes on beside it. One that
# is disabled starts nothing.
function Assert-NoOtherTask([string] $Undone) {
    $other = @(Get-OtherTasks | Where-Object { $_.Task.Enabled })
    if ($other) { Stop-Verb "The task '$($other[0].Path)' would start this folder's programs too: disable or delete it in Task Scheduler first. $Undone" }
}

function Format-Result($Result) {
    '0x{0:X8}' -f [int]$Result
}

# Shows the task's state and returns its last result.
function Show-Task($Record) {
    $task = $Record.Task
    $state = ('in an unknown state', 'disabled', 'queued', 'ready', 'running')[$task.State]
    if (-not $task.Enabled -and $task.State -ne 1) { $state += ', disabled' }
    $result = $task.LastTaskResult
    Write-Host ("The task '{0}' ({1}) is {2}; its last result is {3}." -f $Record.Path, $Record.UserId, $state, (Format-Result $result))
    $result
}

# What a run that did not start says: the table above, or Windows' own text
# of a Windows error code (0x8007xxxx).
function Get-StartFailure($Result) {
    $code = Format-Result $Result
    if ($StartFailures[$code]) { return $StartFailures[$code] }
    if ($code -like '0x8007*') { 'Windows says: ' + (New-Object ComponentModel.Win32Exception ([int]$Result -band 0xFFFF)).Message.TrimEnd('.') }
}

# What the next boot does, which only the task's own settings tell.
function Get-NextBoot($Record) {
    if ($Record.Task.Enabled -and $Record.Boots) { 'The task is enabled and starts at boot: the next boot starts the server again. Run stop to keep it stopped, start to start it now.' }
    else { 'The task does not start at boot: nothing starts the server again but start.' }
}

function Test-ChildOf($Child, $Parent) {
    $Child.ParentProcessId -eq $Parent.ProcessId -and $Child.CreationDate -ge $Parent.CreationDate
}

function Test-Contains([string] $Line, [string] $Text) {
    $Line.IndexOf($Text, [StringComparison]::OrdinalIgnoreCase) -ge 0
}

# Whether a program runs from this folder, however its path is spelled.
function Test-Here([string] $Path, [string] $Name) {
    $i = $Path.LastIndexOf('\')
    $i -gt 0 -and $Path.Substring($i + 1) -eq $Name -and (Resolve-Folder $Path.Substring(0, $i)) -eq $Folder
}

# This folder's processes, each identified by what it runs, its parent and
# when it started, in the order in which a stop ends them: the runners first,
# so that none starts a watchdog again, and 1.1.0's batch files and their
# pings, then the watchdogs, so that none starts a server again, their
# cmd.exe and the servers. A runner refuses to run beside another of the
# folder's, so the one runner is the task's while the task runs.
function Get-FolderProcesses {
    $all = @(Get-CimInstance Win32_Process)
    $cmd = @($all | Where-Object { $_.Name -eq 'cmd.exe' })
    $runners = @($all | Where-Object { $_.Name -eq 'run-watchdog.exe' -and (Test-Here $_.ExecutablePath 'run-watchdog.exe') })
    # 1.1.0's batch file; a console that stays (/k) is not the batch file's:
    # the batch file starts itself again, once, from it.
    $batches = @($cmd | Where-Object { (Test-Contains $_.CommandLine "$Folder\run-watchdog.cmd") -and $_.CommandLine -notmatch '\s/k' })
    $firstBatches = @($batches | Where-Object { $b = $_; -not ($batches | Where-Object { Test-ChildOf $b $_ }) })
    $watchdogs = @($all | Where-Object { $_.Name -eq 'watchdog.exe' -and (Test-Here $_.ExecutablePath 'watchdog.exe') })
    $servers = @($all | Where-Object { $_.Name -eq 'Zentrova.exe' -and (Test-Here $_.ExecutablePath 'Zentrova.exe') })
    $shells = @($cmd | Where-Object { $c = $_; $watchdogs | Where-Object { Test-ChildOf $c $_ } })
    [pscustomobject]@{
        Runners = $runners
        Batches = $batches
        Sets = $runners.Count + $firstBatches.Count + @($watchdogs | Where-Object { $w = $_; -not (@($runners) + $batches | Where-Object { Test-ChildOf $w $_ }) }).Count
        ByHand = @($watchdogs | Where-Object { $w = $_; -not ($runners | Where-Object { Test-ChildOf $w $_ }) })
        Pings = @($all | Where-Object { $p = $_; $_.Name -eq 'ping.exe' -and ($batches | Where-Object { Test-ChildOf $p $_ }) })
        Watchdogs = $watchdogs
        Shells = $shells
        Servers = $servers
        Orphans = @($servers | Where-Object { $s = $_; -not ($shells | Where-Object { Test-ChildOf $s $_ }) })
        # What an unelevated console cannot tell apart from this folder's: a
        # program of a set's names without a path, and a cmd.exe whose line is
        # the server's, or hidden too.
        Hidden = @($all | Where-Object {
            -not $_.ExecutablePath -and ($_.Name -in 'run-watchdog.exe', 'watchdog.exe', 'Zentrova.exe' -or
                ($_.Name -eq 'cmd.exe' -and "$($_.CommandLine)" -in '', 'cmd.exe /c Zentrova.exe')) })
    }
}

function Get-Ordered($Found) {
    @($Found.Runners) + $Found.Batches + $Found.Pings + $Found.Watchdogs + $Found.Shells + $Found.Servers
}

function Format-Process($Process) {
    "$($Process.Name) $($Process.ProcessId)"
}

# Each process is opened before any is ended and kept open until it has
# ended: Windows gives no other process its id while a handle to it is open,
# so one that is still the process identified when it is opened is the one
# ended, and one whose id now belongs to another is not ended at all. One that
# this console cannot open (another account's, without the debug privilege)
# is named and left; the stop goes on with the rest.
function Stop-FolderProcesses($Found) {
    # An administrator opens another account's processes with the debug
    # privilege, as taskkill does.
    try { [Diagnostics.Process]::EnterDebugMode() } catch { Write-Host "Without the debug privilege: $(Get-Reason $_)" }
    $opened = @(foreach ($p in Get-Ordered $Found) {
        $live = Get-Process -Id $p.ProcessId -ErrorAction SilentlyContinue
        if (-not $live) { Write-Host "Not ended: $(Format-Process $p) has ended."; continue }
        # Handle throws where the process cannot be opened, and PowerShell
        # turns that into $null.
        if ($null -eq $live.Handle) { Write-Host "Not ended: this console cannot open $(Format-Process $p) (another account's, without the debug privilege)."; continue }
        # Read again while it is open, from the table that listed it, so that
        # both start times are given alike.
        $now = Get-CimInstance Win32_Process -Filter "ProcessId = $($p.ProcessId)"
        if (-not $now -or $now.CreationDate -ne $p.CreationDate) {
            Write-Host "Not ended: $(Format-Process $p) has ended; its id is another process's now."
        } else {
            @{ Name = Format-Process $p; Live = $live }
        }
    })
    foreach ($o in $opened) {
        try { $o.Live.Kill() } catch {
            if (-not $o.Live.HasExited) { Write-Host "Not ended: $($o.Name): $(Get-Reason $_)" }
            continue
        }
        $null = $Done.Add("ended $($o.Name)")
        Write-Host "Ended $($o.Name)."
    }
    foreach ($o in $opened) {
        if (-not $o.Live.WaitForExit(10000)) { Write-Host "Still running 10 s after it was ended: $($o.Name)." }
    }
}

function Show-Processes($Found) {
    foreach ($p in Get-Ordered $Found) { Write-Host "  $(Format-Process $p): $($p.CommandLine)" }
}

function Format-Old($Record) {
    "The task '$($Record.Path)' runs run-watchdog.cmd, as 1.1.0 registered it: run install to convert it"
}

function Get-WatchdogStatus {
    Assert-Ready
    $elevated = Test-Elevated
    $tasks = @(Get-FolderTasks)
    $found = Get-FolderProcesses
    $running = @(Get-Ordered $found)
    Show-Processes $found
    if (-not $elevated -and $found.Hidden) {
        Write-Host 'Not elevated: these cannot be told apart from this folder''s:'
        $found.Hidden | ForEach-Object { Write-Host "  $(Format-Process $_)" }
        Stop-Verb 'Could not tell: run status in an elevated PowerShell.' 4
    }
    if ($tasks.Count -gt 1) {
        Stop-Verb "$($tasks.Count) tasks run this folder: $(($tasks | ForEach-Object { "'$($_.Path)'" }) -join ', '). Run remove, then install." 1
    }
    if (-not $tasks) {
        if (-not $elevated) { Stop-Verb 'No task of this folder is visible, and this console is not elevated: run status elevated.' 4 }
        if ($running) { Stop-Verb 'Not installed, yet this folder''s programs run, started by hand: stop, then install.' 1 }
        Stop-Verb 'Not installed: run install.' 3
    }
    $record = $tasks[0]
    $result = Show-Task $record
    if ($record.Form -eq 'batch') {
        if ($running) { Stop-Verb "$(Format-Old $record), after stop." 1 }
        Stop-Verb "$(Format-Old $record)." 3
    }
    if (-not $elevated) { Write-Host 'Not elevated: the processes of other accounts show no path; none of this folder''s names is hidden.' }
    if (-not $record.Task.Enabled) {
        if ($running) { Stop-Verb 'Disabled, yet this folder''s programs run: run stop.' 1 }
        Stop-Verb 'Stopped: the task is disabled and nothing of this folder runs.' 3
    }
    if ($found.Batches) { Stop-Verb "A set of 1.1.0 runs in this folder: $(($found.Batches | ForEach-Object { Format-Process $_ }) -join ', '). Run restart." 1 }
    if ($found.ByHand) { Stop-Verb "Started by hand, not by the task: $(($found.ByHand | ForEach-Object { Format-Process $_ }) -join ', '). Run restart." 1 }
    if ($found.Watchdogs.Count -gt 1 -or $found.Sets -gt 1) { Stop-Verb 'Two sets run in this folder: run restart.' 1 }
    if ($found.Orphans) { Stop-Verb "A server runs without a watchdog: $(($found.Orphans | ForEach-Object { Format-Process $_ }) -join ', '). Run restart." 1 }
    if ($record.Task.State -eq $StateRunning) {
        if ($found.Servers) { Stop-Verb 'Running: the server runs under the watchdog.' 0 }
        if ($found.Watchdogs) { Stop-Verb 'Running: the watchdog is in its 3-second pause between two runs of the server (or the server fails at every start: see watchdog.log).' 0 }
        if ($found.Runners) { Stop-Verb 'Running: the runner waits a minute after the watchdog failed before it starts it again: watchdog.log says why.' 0 }
        Stop-Verb 'The task runs, but none of its programs does yet: look again in a moment.' 4
    }
    if ($running) { Stop-Verb 'The task is not running, yet this folder''s programs run: run restart.' 1 }
    if ($result -eq $NeverRun) { Stop-Verb 'Installed, never run: run start.' 3 }
    if ($result -eq 0) { Stop-Verb "Ended: the server asked to stay stopped (exit code 4919). $(Get-NextBoot $record)" 3 }
    $failure = Get-StartFailure $result
    # Task Scheduler does not run a task again after its start failed, at boot
    # or at any time: only start, or the next boot, tries it.
    if ($failure) { Stop-Verb "Could not start ($(Format-Result $result)): $failure. Task Scheduler does not try again: once that is mended, run start; until then the server stays down." 3 }
    Stop-Verb "Ended with result $(Format-Result $result) ($([int64]$result -band 0xFFFFFFFFL)): watchdog.log says why. $(Get-NextBoot $record)" 3
}

# The folder's path as install registers it: the one that Windows finally
# opens for it, that the task's account sees at boot and that every
# PowerShell reads as it is.
function Assert-FolderPath {
    $why = if ($Folder.StartsWith('\\')) {
        "$Folder is on a network drive, which the task cannot take as its folder at boot: use a local drive"
    } elseif (@("$Typed\$Folder" -split '[\\/]' | Where-Object { $_ -match '[. ]$' })) {
        # "Naming Files, Paths, and Namespaces" (learn.microsoft.com).
        "A name in $Typed ends with a dot or a blank, which Windows strips from a path: rename the folder (Windows opens $Folder)"
    } elseif ($Folder.IndexOfAny('[]%'.ToCharArray()) -ge 0) {
        # Windows PowerShell 5.1 reads [ and ] in a script's path as wildcards
        # (PowerShell issue #4726); Task Scheduler expands %...% in an action
        # ("ExecAction object", learn.microsoft.com).
        "$Folder has [, ] or %, which PowerShell or Task Scheduler would read as a wildcard or a variable: move the server to a folder without them"
    } elseif ($Folder -ne $Typed) {
        $drive = [IO.Path]::GetPathRoot($Typed).TrimEnd('\')
        $target = New-Object Text.StringBuilder 1024
        if ([WatchdogTask.Win32]::QueryDosDeviceW($drive, $target, $target.Capacity) -and $target.ToString().StartsWith('\??\')) {
            "$Typed is on $drive, a drive that subst made: it exists only in the logon session that made it, and the task's account never sees it. Run the script from $Folder"
        } else {
            "$Typed is reached through a junction, a link or a short name: run the script from $Folder, the path Windows opens"
        }
    }
    if ($why) { Stop-Verb "$why. Nothing was registered." }
}

function Install-WatchdogTask {
    Assert-Ready -Elevated
    foreach ($name in 'run-watchdog.exe', 'Zentrova.exe') {
        if (-not (Test-File $name)) { Stop-Verb "There is no $name in ${Folder}: install runs from the server's folder, with the zip's files beside Zentrova.exe. Nothing was registered." }
    }
    Assert-FolderPath
    Assert-NoOtherTask 'Nothing was registered.'
    $batches = @((Get-FolderProcesses).Batches)
    if ($batches) { Stop-Verb "1.1.0's batch file still runs in this folder ($(Format-Process $batches[0])): run stop first. Nothing was registered." }
    $tasks = @(Get-FolderTasks)
    if ($tasks.Count -gt 1) { Stop-Verb "$($tasks.Count) tasks run this folder already: run remove, then install. Nothing was registered." }
    $old = $tasks | Select-Object -First 1
    $name = if ($old) { $old.Name } elseif ($TaskName) { $TaskName } else { "Zentrova watchdog $((Split-Path -Leaf $Folder) -replace ':')".Trim() }
    $parent = if ($old) { $old.Folder } else { '\' }
    $path = if ($parent -eq '\') { "\$name" } else { "$parent\$name" }
    if ($old -and $TaskName -and $TaskName -ne $name) { Stop-Verb "This folder's task is '$path' already; a second one would start a second set. Nothing was registered." }
    if (-not $old -and ($AllTasks | Where-Object { $_.Path -eq $path })) {
        Stop-Verb "The task '$path' belongs to another folder: give this one -TaskName. Nothing was registered."
    }
    $disabled = $old -and -not $old.Task.Enabled -and -not $Start
    $converting = if ($old.Form -eq 'batch') { ' (1.1.0''s task is converted in place, and its password is asked for again)' }
    if (-not $Credential) {
        # Windows PowerShell asks in a window even under -NonInteractive.
        if ([Environment]::GetCommandLineArgs() -match '^[-/]noni') { Stop-Verb "No account given, and -NonInteractive asks for none: give -Credential$converting. Nothing was registered." }
        $Credential = Get-Credential -UserName $(if ($old) { $old.UserId }) -Message "The account that runs the server, such as SERVER\zentrova$converting"
        if (-not $Credential) { Stop-Verb 'No account given. Nothing was registered.' }
    }
    $registered = Invoke-Scheduler "register the task '$path'" {
        $definition = $Scheduler.NewTask(0)
        $settings = $definition.Settings
        $settings.Enabled = -not $disabled
        $settings.Priority = 4
        $settings.ExecutionTimeLimit = 'PT0S'
        # 2: TASK_INSTANCES_IGNORE_NEW.
        $settings.MultipleInstances = 2
        $settings.DisallowStartIfOnBatteries = $false
        $settings.StopIfGoingOnBatteries = $false
        $null = $definition.Triggers.Create(8)
        $action = $definition.Actions.Create(0)
        # Quoted: Task Scheduler starts the path as the start of a command
        # line, where a blank would end it (puppetlabs-scheduled_task#253).
        $action.Path = '"{0}\run-watchdog.exe"' -f $Folder
        $action.WorkingDirectory = $Folder
        # 6: TASK_CREATE_OR_UPDATE; 1: TASK_LOGON_PASSWORD, whether or not
        # anyone is logged on.
        $Scheduler.GetFolder($parent).RegisterTaskDefinition($name, $definition, 6, $Credential.UserName, $Credential.GetNetworkCredential().Password, 1)
    }
    $null = $Done.Add("registered the task '$path'")
    $state = if ($disabled) { 'disabled, as it was: start starts it' } else { 'enabled: it starts at boot' }
    $how = if ($old.Form -eq 'batch') { 'Converted the task' } else { 'Registered the task' }
    Write-Host "$how '$path' for $Folder, as $($Credential.UserName), $state."
    if ($Start) { Start-Folder ([pscustomobject]@{ Task = $registered; Path = $path; UserId = $Credential.UserName }) }
    exit 0
}

# Task Scheduler runs the task after Run has returned: the wait ends when
# the task has left the state it was in, running with its runner up or with
# a run recorded since, or after 10 s, saying what it saw.
function Start-Folder($Record) {
    $task = $Record.Task
    $found = Get-FolderProcesses
    if (Get-Ordered $found) {
        if ($task.State -eq $StateRunning -and $found.Runners.Count -eq 1 -and $found.Sets -eq 1 -and -not $found.Batches -and -not $found.Orphans) {
            Stop-Verb 'Already running: nothing was started.' 0
        }
        Stop-Verb 'Programs of this folder run outside the task (see status): run restart. Nothing was started.'
    }
    if (-not $task.Enabled) {
        Invoke-Scheduler "enable the task '$($Record.Path)'" { $task.Enabled = $true }
        $null = $Done.Add("enabled the task '$($Record.Path)'")
        Write-Host "Enabled the task '$($Record.Path)'."
    }
    $ran = $task.LastRunTime
    $before = $task.LastTaskResult
    $null = Invoke-Scheduler "run the task '$($Record.Path)'" { $task.Run($null) }
    $null = $Done.Add("ran the task '$($Record.Path)'")
    for ($waited = 0; $waited -lt 20; $waited++) {
        $state = $task.State
        if ($state -eq $StateRunning -and (Get-FolderProcesses).Runners) { break }
        if ($state -ne $StateRunning -and $state -ne 2 -and ($task.LastRunTime -ne $ran -or $task.LastTaskResult -ne $before)) { break }
        Start-Sleep -Milliseconds 500
    }
    $result = Show-Task $Record
    if ($waited -eq 20) {
        Stop-Verb "Not started within 10 s: the task is still as it was before (its last result, of an earlier run, is $(Format-Result $result)). Run status in a moment."
    }
    if ($state -eq $StateRunning) { Stop-Verb 'Started.' 0 }
    $failure = Get-StartFailure $result
    if ($failure) { Stop-Verb "Not started ($(Format-Result $result)): $failure." }
    if ($result -eq 0) { Stop-Verb 'Not started: the task ran and ended at once with 0, as after the server asked to stay stopped: watchdog.log says why.' }
    Stop-Verb "Not started: the task ran and ended at once with $(Format-Result $result): watchdog.log says why."
}

# The folder's task in the form that start, restart and remove act on.
function Assert-Task {
    $tasks = @(Get-FolderTasks)
    if (-not $tasks) { Stop-Verb 'No task runs this folder: run install. Nothing was changed.' }
    $old = @($tasks | Where-Object { $_.Form -eq 'batch' })
    if ($old) { Stop-Verb "$(Format-Old $old[0]) (stop first, while it runs). Nothing was changed." }
    $tasks
}

function Start-WatchdogTask {
    Assert-Ready -Elevated
    Start-Folder @(Assert-Task)[0]
}

function Stop-Folder {
    $tasks = @(Get-FolderTasks)
    Write-Host 'The server is ended at once, as by a crash. To let it end by itself, have it end with exit code 4919 first: the stop then finds nothing to end.'
    foreach ($record in $tasks) {
        if ($record.Task.Enabled) {
            Invoke-Scheduler "disable the task '$($record.Path)'" { $record.Task.Enabled = $false }
            $null = $Done.Add("disabled the task '$($record.Path)'")
            Write-Host "Disabled the task '$($record.Path)'."
        }
    }
    Stop-FolderProcesses (Get-FolderProcesses)
    $left = @(Get-Ordered (Get-FolderProcesses))
    if ($left) {
        Write-Host "Still running in ${Folder}:"
        $left | ForEach-Object { Write-Host "  $(Format-Process $_)" }
        Stop-Verb 'Not stopped: run stop again, or end these by hand.'
    }
    $others = @(Get-OtherTasks | Where-Object { $_.Task.Enabled })
    if ($others) { Stop-Verb "Nothing of $Folder runs now, but the task '$($others[0].Path)', left alone, may start it again: disable or delete it in Task Scheduler, then install." }
    if (-not $tasks) { Stop-Verb 'No task runs this folder; nothing of it runs now.' 0 }
    Write-Host "Stopped: the task is disabled and nothing of $Folder runs."
    foreach ($record in $tasks | Where-Object { $_.Form -eq 'batch' }) { Write-Host "$(Format-Old $record), once the new files are in place." }
}

function Stop-WatchdogTask {
    Assert-Ready -Elevated
    Stop-Folder
    exit 0
}

function Restart-WatchdogTask {
    Assert-Ready -Elevated
    $record = @(Assert-Task)[0]
    Assert-NoOtherTask 'Nothing was stopped.'
    Stop-Folder
    Start-Folder $record
}

function Remove-WatchdogTask {
    Assert-Ready -Elevated
    $tasks = Assert-Task
    Assert-NoOtherTask 'Nothing was stopped or removed.'
    Stop-Folder
    foreach ($record in $tasks) {
        Invoke-Scheduler "remove the task '$($record.Path)'" { $Scheduler.GetFolder($record.Folder).DeleteTask($record.Name, 0) }
        $null = $Done.Add("removed the task '$($record.Path)'")
        Write-Host "Removed the task '$($record.Path)'; watchdog.log stays."
    }
    exit 0
}

Add-Type -Namespace WatchdogTask -Name Win32 -MemberDefinition $Win32
$Resolved = @{}
$Typed = $PSScriptRoot.TrimEnd('\')
# On a network share, a folder whose every part cannot be read has no final
# path ("GetFinalPathNameByHandleW function", learn.microsoft.com).
$Folder = try { Get-FinalPath $PSScriptRoot } catch {
    Stop-Verb "Could not tell which folder $Typed is ($(Get-Reason $_)): run the script from the server's folder on a local drive. Nothing was changed." $(if ($Verb -eq 'status') { 4 } else { 1 })
}
switch ($Verb) {
    'install' { Install-WatchdogTask }
    'start' { Start-WatchdogTask }
    'status' { Get-WatchdogStatus }
    'stop' { Stop-WatchdogTask }
    'restart' { Restart-WatchdogTask }
    'remove' { Remove-WatchdogTask }
}
