#Requires -Version 3.0

<#
.SYNOPSIS
Installs, starts, checks, stops and removes the scheduled task that keeps the
Zentrova server of this script's folder running under watchdog.exe.

.DESCRIPTION
Run it from the server's folder, where it lies beside watchdog.exe,
run-watchdog.cmd and Zentrova.exe: it acts on that folder and on no other.
The folder's task is the one whose only action is

    <SystemRoot>\System32\cmd.exe /d /c ""<folder>\run-watchdog.cmd" >> "<folder>\watchdog.log" 2>&1"

started in the folder, whatever its name: install registers it so, and no
other task is ever changed. A task that names the folder's files otherwise
is reported and left alone.

Every verb checks first and changes nothing when a check fails; then it acts
and says what it did. Every verb but status needs an elevated PowerShell.
Needs Windows 8 / Server 2012 or later (the ScheduledTasks module) and
Windows PowerShell 3.0 or later.

Exit status of status, as init scripts have it:
    0  supervised: the task runs this folder's one set (the server, the
       3-second pause, or the batch file's minute after a failure)
    1  something of this folder runs, but not as the task's one set (two
       sets, a server without a watchdog, a set started by hand, processes
       of a disabled task)
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
stop     disables the task, then ends the folder's batch file, watchdogs
         and servers: the server ends at once, as by a crash
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
$Folder = $PSScriptRoot.TrimEnd('\')
$Action = @{
    Execute = "$env:SystemRoot\System32\cmd.exe"
    Argument = '/d /c ""{0}\run-watchdog.cmd" >> "{0}\watchdog.log" 2>&1"' -f $Folder
    WorkingDirectory = $PSScriptRoot
}
# What the task's results mean, as Task Scheduler and the logon give them,
# by their hexadecimal text: PowerShell reads 0x80000000 and above as negative.
$NeverRun = 0x41303
$LogonFailures = @{
    '0x80070569' = 'the account lacks the right "Log on as a batch job": grant it (secpol.msc, User Rights Assignment)'
    '0x8007052E' = 'unknown user name or bad password: install again with the account''s current password'
    '0x80070532' = 'the account''s password has expired: change it, then install again with it'
    '0x80070773' = 'the account''s password must be changed before it logs on: change it, then install again with it'
    '0x80070520' = 'no logon session: the policy "Network access: Do not allow storage of passwords and credentials for network authentication" is on'
    '0x80070533' = 'the account is disabled: enable it'
    '0x80070775' = 'the account is locked out: unlock it'
    '0x80070701' = 'the account has expired: extend it'
    '0x8007052F' = 'an account restriction forbids the logon (logon hours, workstations or a blank password)'
}
$Done = New-Object System.Collections.ArrayList

trap {
    $what = if ($Done.Count) { 'Done before it: ' + ($Done -join '; ') + '.' } else { 'Nothing was changed.' }
    Write-Host "$Verb failed: $($_.Exception.Message) $what"
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

function Assert-Ready([switch] $Elevated) {
    if (-not (Test-File 'watchdog.exe')) {
        Stop-Verb "There is no watchdog.exe in ${Folder}: run the script that lies beside the server's watchdog.exe. Nothing was changed." $(if ($Verb -eq 'status') { 4 } else { 1 })
    }
    if (-not (Get-Command Get-ScheduledTask -ErrorAction SilentlyContinue)) {
        Stop-Verb 'Task Scheduler''s cmdlets (the ScheduledTasks module of Windows 8 / Server 2012 and later) are missing: see the guide for the task made by hand. Nothing was changed.' $(if ($Verb -eq 'status') { 4 } else { 1 })
    }
    if ($Elevated -and -not (Test-Elevated)) {
        Stop-Verb "Not elevated: $Verb needs a PowerShell run as administrator. Nothing was changed."
    }
    $null = Get-ScheduledTask -ErrorAction SilentlyContinue -ErrorVariable unread
    foreach ($e in $unread) { Write-Host "Passed over, unreadable: $($e.Exception.Message)" }
    foreach ($other in Get-OtherTasks) {
        Write-Host "Left alone: the task '$($other.TaskPath)$($other.TaskName)' names this folder's files, but not as install registers them."
    }
}

# A task of another form that is enabled starts this folder's programs as
# well: no verb that is to leave one set running goes on beside it.
function Assert-NoOtherTask([string] $Undone) {
    $other = @(Get-OtherTasks | Where-Object { $_.State -ne 'Disabled' })
    if ($other) { Stop-Verb "The task '$($other[0].TaskPath)$($other[0].TaskName)' would start this folder's programs too: disable or delete it in Task Scheduler first. $Undone" }
}

function Test-Mine($Task) {
    $actions = @($Task.Actions)
    $actions.Count -eq 1 -and $actions[0].Execute -eq $Action.Execute -and
        $actions[0].Arguments -eq $Action.Argument -and $actions[0].WorkingDirectory -eq $Action.WorkingDirectory
}

# A task names this folder's files when its action names one of them with
# the folder, or by its name alone in the folder as its working directory.
function Test-Naming($Task) {
    foreach ($a in @($Task.Actions)) {
        $inFolder = "$($a.WorkingDirectory)".TrimEnd('\') -eq $Folder
        foreach ($file in 'run-watchdog.cmd', 'watchdog.exe', 'Zentrova.exe') {
            if (Test-Contains "$($a.Execute) $($a.Arguments)" $(if ($inFolder) { $file } else { "$Folder\$file" })) { return $true }
        }
    }
    $false
}

# Every task that can be read: one whose definition cannot be read (another
# program's, say) stops no verb.
function Get-Tasks {
    Get-ScheduledTask -ErrorAction SilentlyContinue
}

function Get-FolderTasks {
    Get-Tasks | Where-Object { Test-Mine $_ }
}

function Get-OtherTasks {
    Get-Tasks | Where-Object { -not (Test-Mine $_) -and (Test-Naming $_) }
}

# Shows the task's state and returns its last result.
function Show-Task($Task) {
    $result = [uint32](Get-ScheduledTaskInfo -TaskName $Task.TaskName -TaskPath $Task.TaskPath).LastTaskResult
    Write-Host ("The task '{0}{1}' ({2}) is {3}; its last result is 0x{4:X8}." -f $Task.TaskPath, $Task.TaskName, $Task.Principal.UserId, $Task.State, $result)
    $result
}

function Test-ChildOf($Child, $Parent) {
    $Child.ParentProcessId -eq $Parent.ProcessId -and $Child.CreationDate -ge $Parent.CreationDate
}

function Test-Contains([string] $Line, [string] $Text) {
    $Line.IndexOf($Text, [StringComparison]::OrdinalIgnoreCase) -ge 0
}

# This folder's processes, each identified by what it runs, its parent and
# when it started, in the order in which a stop ends them: the batch files
# first, so that none starts a watchdog again, then their pings, the
# watchdogs, so that none starts a server again, their cmd.exe and the
# servers.
function Get-FolderProcesses {
    $all = @(Get-CimInstance Win32_Process)
    $cmd = @($all | Where-Object { $_.Name -eq 'cmd.exe' })
    # A console that stays (/k) is not the batch file's: the batch file starts
    # itself again, once, from it, as from a console it was typed into.
    $batches = @($cmd | Where-Object { (Test-Contains $_.CommandLine "$Folder\run-watchdog.cmd") -and $_.CommandLine -notmatch '\s/k' })
    $first = @($batches | Where-Object { $b = $_; -not ($batches | Where-Object { Test-ChildOf $b $_ }) })
    $started = @($first | Where-Object { Test-Contains $_.CommandLine $Action.Argument })
    $task = @($batches | Where-Object { $b = $_; $started -contains $b -or ($started | Where-Object { Test-ChildOf $b $_ }) })
    $watchdogs = @($all | Where-Object { $_.ExecutablePath -eq "$Folder\watchdog.exe" })
    $servers = @($all | Where-Object { $_.ExecutablePath -eq "$Folder\Zentrova.exe" })
    $shells = @($cmd | Where-Object { $c = $_; $watchdogs | Where-Object { Test-ChildOf $c $_ } })
    [pscustomobject]@{
        Batches = $batches
        Sets = $first.Count
        ByHand = @($batches | Where-Object { $task -notcontains $_ }) +
            @($watchdogs | Where-Object { $w = $_; -not ($task | Where-Object { Test-ChildOf $w $_ }) })
        Pings = @($all | Where-Object { $p = $_; $_.Name -eq 'ping.exe' -and ($batches | Where-Object { Test-ChildOf $p $_ }) })
        Watchdogs = $watchdogs
        Shells = $shells
        Servers = $servers
        Orphans = @($servers | Where-Object { $s = $_; -not ($shells | Where-Object { Test-ChildOf $s $_ }) })
        Hidden = @($all | Where-Object { $_.Name -in 'watchdog.exe', 'Zentrova.exe' -and -not $_.ExecutablePath })
    }
}

function Get-Ordered($Found) {
    @($Found.Batches) + $Found.Pings + $Found.Watchdogs + $Found.Shells + $Found.Servers
}

function Format-Process($Process) {
    "$($Process.Name) $($Process.ProcessId)"
}

# Each process is opened before any is ended and kept open until it has
# ended: Windows gives no other process its id while a handle to it is open,
# so one that is still the process identified when it is opened is the one
# ended, and one whose id now belongs to another is not ended at all.
function Stop-FolderProcesses($Found) {
    # An administrator opens another account's processes with the debug
    # privilege, as taskkill does.
    try { [Diagnostics.Process]::EnterDebugMode() } catch { Write-Host "Without the debug privilege: $($_.Exception.Message)" }
    $opened = @(foreach ($p in Get-Ordered $Found) {
        try { $live = Get-Process -Id $p.ProcessId; $null = $live.Handle } catch { $live = $null }
        # Read again while it is open, from the table that listed it, so that
        # both start times are given alike.
        $now = if ($live) { Get-CimInstance Win32_Process -Filter "ProcessId = $($p.ProcessId)" }
        if (-not $live) {
            Write-Host "Not ended: $(Format-Process $p) has ended, or this console cannot open it."
        } elseif (-not $now -or $now.CreationDate -ne $p.CreationDate) {
            Write-Host "Not ended: $(Format-Process $p) has ended; its id is another process's now."
        } else {
            @{ Name = Format-Process $p; Live = $live }
        }
    })
    foreach ($o in $opened) {
        try { $o.Live.Kill() } catch { if (-not $o.Live.HasExited) { throw } }
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
        Stop-Verb "$($tasks.Count) tasks run this folder: $(($tasks | ForEach-Object { "'$($_.TaskPath)$($_.TaskName)'" }) -join ', '). Run remove, then install." 1
    }
    if (-not $tasks) {
        if (-not $elevated) { Stop-Verb 'No task of this folder is visible, and this console is not elevated: run status elevated.' 4 }
        if ($running) { Stop-Verb 'Not installed, yet this folder''s programs run, started by hand: stop, then install.' 1 }
        Stop-Verb 'Not installed: run install.' 3
    }
    $task = $tasks[0]
    $result = Show-Task $task
    if (-not $elevated) { Write-Host 'Not elevated: the processes of other accounts show no path; none of this folder''s names is hidden.' }
    if ($task.State -eq 'Disabled') {
        if ($running) { Stop-Verb 'Disabled, yet this folder''s programs run: run stop.' 1 }
        Stop-Verb 'Stopped: the task is disabled and nothing of this folder runs.' 3
    }
    if ($found.ByHand) { Stop-Verb "Started by hand, not by the task: $(($found.ByHand | ForEach-Object { Format-Process $_ }) -join ', '). Run restart." 1 }
    if ($found.Watchdogs.Count -gt 1 -or $found.Sets -gt 1) { Stop-Verb 'Two sets run in this folder: run restart.' 1 }
    if ($found.Orphans) { Stop-Verb "A server runs without a watchdog: $(($found.Orphans | ForEach-Object { Format-Process $_ }) -join ', '). Run restart." 1 }
    if ($task.State -eq 'Running') {
        if ($found.Servers) { Stop-Verb 'Running: the server runs under the watchdog.' 0 }
        if ($found.Watchdogs) { Stop-Verb 'Running: the watchdog is in its 3-second pause between two runs of the server (or the server fails at every start: see watchdog.log).' 0 }
        if ($found.Batches) { Stop-Verb 'Running: the batch file waits a minute after the watchdog failed before it starts it again: watchdog.log says why.' 0 }
        Stop-Verb 'The task runs, but none of its programs does yet: look again in a moment.' 4
    }
    if ($running) { Stop-Verb 'The task is not running, yet this folder''s programs run: run restart.' 1 }
    if ($result -eq $NeverRun) { Stop-Verb 'Installed, never run: run start.' 3 }
    $logon = $LogonFailures['0x{0:X8}' -f $result]
    if ($logon) { Stop-Verb ('Could not start: the account could not log on (0x{0:X8}): {1}.' -f $result, $logon) 3 }
    if ($result -eq 0) { Stop-Verb 'Ended: the server asked to stay stopped (exit code 4919). Run start to start it again.' 3 }
    Stop-Verb ('Ended with result 0x{0:X8} ({0}): watchdog.log says why. Run start to start it again.' -f $result) 3
}

function Install-WatchdogTask {
    Assert-Ready -Elevated
    foreach ($name in 'run-watchdog.cmd', 'Zentrova.exe') {
        if (-not (Test-File $name)) { Stop-Verb "There is no $name in ${Folder}: install runs from the server's folder, with the zip's files beside Zentrova.exe. Nothing was registered." }
    }
    if ($Folder.Contains('%')) { Stop-Verb "The folder's name has a %, which cmd.exe would read as a variable: move the server to a folder without one. Nothing was registered." }
    $root = [IO.Path]::GetPathRoot($PSScriptRoot)
    if ($root.StartsWith('\\') -or (Get-CimInstance Win32_LogicalDisk | Where-Object { $_.DriveType -eq 4 -and $_.DeviceID -eq $root.TrimEnd('\') })) {
        Stop-Verb "$Folder is on a network drive, which cmd.exe cannot take as its folder at boot: use a local drive. Nothing was registered."
    }
    Assert-NoOtherTask 'Nothing was registered.'
    $tasks = @(Get-FolderTasks)
    if ($tasks.Count -gt 1) { Stop-Verb "$($tasks.Count) tasks run this folder already: run remove, then install. Nothing was registered." }
    $name = if ($tasks) { $tasks[0].TaskName } elseif ($TaskName) { $TaskName } else { "Zentrova watchdog $((Split-Path -Leaf $PSScriptRoot) -replace ':')".Trim() }
    $path = if ($tasks) { $tasks[0].TaskPath } else { '\' }
    if ($tasks -and $TaskName -and $TaskName -ne $name) { Stop-Verb "This folder's task is '$path$name' already; a second one would start a second set. Nothing was registered." }
    if (-not $tasks -and (Get-ScheduledTask | Where-Object { $_.TaskName -eq $name -and $_.TaskPath -eq $path })) {
        Stop-Verb "The task '$path$name' belongs to another folder: give this one -TaskName. Nothing was registered."
    }
    $disabled = $tasks -and $tasks[0].State -eq 'Disabled' -and -not $Start
    if (-not $Credential) {
        # Windows PowerShell asks in a window even under -NonInteractive.
        if ([Environment]::GetCommandLineArgs() -match '^[-/]noni') { Stop-Verb 'No account given, and -NonInteractive asks for none: give -Credential. Nothing was registered.' }
        $Credential = Get-Credential -Message 'The account that runs the server, such as SERVER\zentrova'
        if (-not $Credential) { Stop-Verb 'No account given. Nothing was registered.' }
    }
    $settings = New-ScheduledTaskSettingsSet -Priority 4 -ExecutionTimeLimit ([TimeSpan]::Zero) -MultipleInstances IgnoreNew -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries -Disable:$disabled
    $null = Register-ScheduledTask -TaskName $name -TaskPath $path -Action (New-ScheduledTaskAction @Action) -Trigger (New-ScheduledTaskTrigger -AtStartup) -Settings $settings -User $Credential.UserName -Password $Credential.GetNetworkCredential().Password -Force
    $null = $Done.Add("registered the task '$path$name'")
    $state = if ($disabled) { 'disabled, as it was: start starts it' } else { 'enabled: it starts at boot' }
    Write-Host "Registered the task '$path$name' for $Folder, as $($Credential.UserName), $state."
    if ($Start) { Start-Folder }
    exit 0
}

function Start-Folder {
    $task = @(Get-FolderTasks)[0]
    $found = Get-FolderProcesses
    if (Get-Ordered $found) {
        if ($task.State -eq 'Running' -and $found.Watchdogs.Count -le 1 -and -not $found.ByHand -and -not $found.Orphans) {
            Stop-Verb 'Already running: nothing was started.' 0
        }
        Stop-Verb 'Programs of this folder run outside the task (see status): run restart. Nothing was started.'
    }
    Enable-ScheduledTask -TaskName $task.TaskName -TaskPath $task.TaskPath | Out-Null
    $null = $Done.Add('enabled the task')
    Write-Host "Enabled the task '$($task.TaskPath)$($task.TaskName)'."
    Start-ScheduledTask -TaskName $task.TaskName -TaskPath $task.TaskPath
    $null = $Done.Add('ran the task')
    for ($waited = 0; $waited -lt 20; $waited++) {
        $task = @(Get-FolderTasks)[0]
        if ($task.State -ne 'Running' -or (Get-FolderProcesses).Watchdogs) { break }
        Start-Sleep -Milliseconds 500
    }
    $result = Show-Task $task
    if ($task.State -eq 'Running') { Stop-Verb 'Started.' 0 }
    $logon = $LogonFailures['0x{0:X8}' -f $result]
    if ($logon) { Stop-Verb ('Not started: the account could not log on (0x{0:X8}): {1}.' -f $result, $logon) }
    Stop-Verb 'Not started: the task ran and ended at once: watchdog.log says why.'
}

function Assert-Task {
    $tasks = @(Get-FolderTasks)
    if (-not $tasks) { Stop-Verb "No task runs this folder: run install. Nothing was changed." }
    $tasks
}

function Start-WatchdogTask {
    Assert-Ready -Elevated
    $null = Assert-Task
    Start-Folder
}

function Stop-Folder {
    $tasks = @(Get-FolderTasks)
    Write-Host 'The server is ended at once, as by a crash. To let it end by itself, have it end with exit code 4919 first: the stop then finds nothing to end.'
    foreach ($task in $tasks) {
        Disable-ScheduledTask -TaskName $task.TaskName -TaskPath $task.TaskPath | Out-Null
        $null = $Done.Add("disabled the task '$($task.TaskPath)$($task.TaskName)'")
        Write-Host "Disabled the task '$($task.TaskPath)$($task.TaskName)'."
    }
    Stop-FolderProcesses (Get-FolderProcesses)
    $left = @(Get-Ordered (Get-FolderProcesses))
    if ($left) {
        Write-Host "Still running in ${Folder}:"
        $left | ForEach-Object { Write-Host "  $(Format-Process $_)" }
        Stop-Verb 'Not stopped: run stop again, or end these by hand.'
    }
    $others = @(Get-OtherTasks)
    if ($others) { Stop-Verb "Nothing of $Folder runs now, but the task '$($others[0].TaskPath)$($others[0].TaskName)', left alone, may start it again: disable or delete it in Task Scheduler, then install." }
    if (-not $tasks) { Stop-Verb "No task runs this folder; nothing of it runs now." 0 }
    Write-Host "Stopped: the task is disabled and nothing of $Folder runs."
}

function Stop-WatchdogTask {
    Assert-Ready -Elevated
    Stop-Folder
    exit 0
}

function Restart-WatchdogTask {
    Assert-Ready -Elevated
    $null = Assert-Task
    Assert-NoOtherTask 'Nothing was stopped.'
    Stop-Folder
    Start-Folder
}

function Remove-WatchdogTask {
    Assert-Ready -Elevated
    $tasks = Assert-Task
    Assert-NoOtherTask 'Nothing was stopped or removed.'
    Stop-Folder
    foreach ($task in $tasks) {
        # By the task itself: a name would be read as a wildcard.
        $task | Unregister-ScheduledTask -Confirm:$false
        $null = $Done.Add("removed the task '$($task.TaskPath)$($task.TaskName)'")
        Write-Host "Removed the task '$($task.TaskPath)$($task.TaskName)'; watchdog.log stays."
    }
    exit 0
}

switch ($Verb) {
    'install' { Install-WatchdogTask }
    'start' { Start-WatchdogTask }
    'status' { Get-WatchdogStatus }
    'stop' { Stop-WatchdogTask }
    'restart' { Restart-WatchdogTask }
    'remove' { Remove-WatchdogTask }
}
