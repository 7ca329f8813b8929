# The least of Windows that watchdog-task.ps1 touches, as commands of the same
# names, over a state that a test writes as JSON to $env:FAKE_WINDOWS and reads
# back after Save-FakeWindows: the process table (Win32_Process, and the
# processes that Get-Process opens), the logical disks, and the task store.
# Elevation is whoami.exe, a program beside this module on PATH.

$State = Get-Content -Raw -LiteralPath $env:FAKE_WINDOWS | ConvertFrom-Json
foreach ($list in 'processes', 'tasks', 'disks', 'reuse', 'ended', 'registered', 'unreadable') {
    if (-not $State.PSObject.Properties[$list]) { $State | Add-Member $list @() }
}
foreach ($p in @($State.processes) + @($State.reuse | ForEach-Object { $_.becomes })) {
    if ($p) { $p.CreationDate = [datetime]$p.CreationDate }
}
$Listed = $false

function Save-FakeWindows {
    $State | ConvertTo-Json -Depth 8 | Set-Content -LiteralPath $env:FAKE_WINDOWS
}

function Find-Process([int] $Id) {
    @($State.processes) | Where-Object { $_.ProcessId -eq $Id }
}

function Remove-Process($Process) {
    $State.processes = @(@($State.processes) | Where-Object { $_ -ne $Process })
}

# A process shows its path and command line to a console that is elevated
# or runs as the same account.
function Get-CimInstance([string] $ClassName, [string] $Filter) {
    if ($ClassName -eq 'Win32_LogicalDisk') { return @($State.disks) }
    if ($ClassName -ne 'Win32_Process') { throw "The fake has no class $ClassName." }
    $only = if ($Filter -match '^ProcessId = (\d+)$') { [int]$Matches[1] }
    foreach ($p in @($State.processes) | Where-Object { -not $only -or $_.ProcessId -eq $only }) {
        $seen = $State.elevated -or -not $p.Owner
        [pscustomobject]@{
            Name = $p.Name; ProcessId = $p.ProcessId; ParentProcessId = $p.ParentProcessId
            CreationDate = $p.CreationDate
            ExecutablePath = $(if ($seen) { $p.ExecutablePath })
            CommandLine = $(if ($seen) { $p.CommandLine })
        }
    }
    # The ids that end and are given to another process after the first listing.
    if (-not $only -and -not $script:Listed) {
        $script:Listed = $true
        foreach ($r in @($State.reuse)) {
            if ($r) { Remove-Process (Find-Process $r.becomes.ProcessId); $State.processes = @($State.processes) + $r.becomes }
        }
    }
}

# An open process: its id and start time, and Kill and WaitForExit on the
# process it was opened on, whatever has its id since.
function Get-Process {
    [CmdletBinding()]
    param([int] $Id)
    $p = Find-Process $Id
    if (-not $p) { return }
    $opened = [pscustomobject]@{
        Id = $p.ProcessId; ProcessName = $p.Name -replace '\.exe$'; StartTime = $p.CreationDate
        Handle = 1; Process = $p
    }
    $opened | Add-Member ScriptProperty HasExited { @($State.processes) -notcontains $this.Process }
    $opened | Add-Member ScriptMethod Kill {
        if ($this.HasExited) { throw 'The process has exited.' }
        # One that hangs in its end, in a driver say, outlives its end.
        if ($this.Process.PSObject.Properties['Unkillable']) { return }
        Remove-Process $this.Process
        $State.ended = @($State.ended) + $this.Process.ProcessId
    }
    $opened | Add-Member ScriptMethod WaitForExit { param($Milliseconds) $this.HasExited }
    $opened
}

function Get-TaskRecord([string] $TaskName, [string] $TaskPath) {
    $task = @($State.tasks) | Where-Object { $_.TaskName -eq $TaskName -and $_.TaskPath -eq $TaskPath }
    if (-not $task) { throw "The system cannot find the file specified. (Exception from HRESULT: 0x80070002) $TaskPath$TaskName" }
    $task
}

function Get-CommandLine($Action) {
    # Task Scheduler starts the program with the action's arguments after a blank.
    "$($Action.Execute) $($Action.Arguments)"
}

# A task runs while the process that its action started does.
function Test-TaskRuns($Task) {
    $line = Get-CommandLine @($Task.Actions)[0]
    [bool](@($State.processes) | Where-Object { $_.CommandLine -eq $line })
}

# A task whose definition cannot be read is an error of its own.
function Get-ScheduledTask {
    [CmdletBinding()]
    param()
    foreach ($name in @($State.unreadable)) { if ($name) { Write-Error "The task XML contains a value which is incorrectly formatted or out of range: $name" } }
    foreach ($t in @($State.tasks)) {
        $shown = if ($t.State -ne 'Disabled' -and (Test-TaskRuns $t)) { 'Running' } else { $t.State }
        [pscustomobject]@{
            TaskName = $t.TaskName; TaskPath = $t.TaskPath; State = $shown
            Actions = @($t.Actions); Principal = [pscustomobject]@{ UserId = $t.UserId }
        }
    }
}

function Get-ScheduledTaskInfo([string] $TaskName, [string] $TaskPath) {
    # An unsigned 32-bit number, as the task store gives it.
    [pscustomobject]@{ LastTaskResult = [uint32]((Get-TaskRecord $TaskName $TaskPath).LastTaskResult -band 0xFFFFFFFFL) }
}

function New-ScheduledTaskAction([string] $Execute, [string] $Argument, [string] $WorkingDirectory) {
    [pscustomobject]@{ Execute = $Execute; Arguments = $Argument; WorkingDirectory = $WorkingDirectory }
}

function New-ScheduledTaskTrigger([switch] $AtStartup) {
    [pscustomobject]@{ AtStartup = [bool]$AtStartup }
}

function New-ScheduledTaskSettingsSet([int] $Priority, [TimeSpan] $ExecutionTimeLimit, [string] $MultipleInstances,
    [switch] $AllowStartIfOnBatteries, [switch] $DontStopIfGoingOnBatteries, [switch] $Disable) {
    [pscustomobject]@{
        Enabled = -not $Disable; Priority = $Priority; ExecutionTimeLimit = "$ExecutionTimeLimit"
        MultipleInstances = $MultipleInstances; AllowStartIfOnBatteries = [bool]$AllowStartIfOnBatteries
        DontStopIfGoingOnBatteries = [bool]$DontStopIfGoingOnBatteries
    }
}

function Register-ScheduledTask([string] $TaskName, [string] $TaskPath, $Action, $Trigger, $Settings,
    [string] $User, [string] $Password, [switch] $Force) {
    if ($State.passwords.$User -ne $Password) { throw 'The user name or password is incorrect. (Exception from HRESULT: 0x8007052E)' }
    $old = @($State.tasks) | Where-Object { $_.TaskName -eq $TaskName -and $_.TaskPath -eq $TaskPath }
    if ($old -and -not $Force) { throw 'Cannot create a file when that file already exists. (Exception from HRESULT: 0x800700B7)' }
    $State.tasks = @(@($State.tasks) | Where-Object { $_ -ne $old }) + [pscustomobject]@{
        TaskName = $TaskName; TaskPath = $TaskPath; UserId = $User
        State = $(if ($Settings.Enabled) { 'Ready' } else { 'Disabled' })
        LastTaskResult = $(if ($old) { $old.LastTaskResult } else { 0x41303 })
        Actions = @($Action); Trigger = $Trigger; Settings = $Settings
    }
    $State.registered = @($State.registered) + "$TaskPath$TaskName"
}

function Enable-ScheduledTask([string] $TaskName, [string] $TaskPath) {
    $t = Get-TaskRecord $TaskName $TaskPath
    if ($t.State -eq 'Disabled') { $t.State = 'Ready' }
}

function Disable-ScheduledTask([string] $TaskName, [string] $TaskPath) {
    (Get-TaskRecord $TaskName $TaskPath).State = 'Disabled'
}

# By the task piped to it, or by a name that it reads as a wildcard.
function Unregister-ScheduledTask {
    param([Parameter(ValueFromPipeline = $true)] $InputObject, [string] $TaskName, [string] $TaskPath, [switch] $Confirm)
    process {
        $gone = if ($InputObject) { Get-TaskRecord $InputObject.TaskName $InputObject.TaskPath }
            else { @($State.tasks) | Where-Object { $_.TaskName -like $TaskName -and $_.TaskPath -like $TaskPath } }
        $State.tasks = @(@($State.tasks) | Where-Object { @($gone) -notcontains $_ })
    }
}

# A run either fails to log on, with the result that the account's logon
# gives, or starts the action: the batch file's cmd.exe, its watchdog, the
# watchdog's cmd.exe and the server.
function Start-ScheduledTask([string] $TaskName, [string] $TaskPath) {
    $t = Get-TaskRecord $TaskName $TaskPath
    if ($t.State -eq 'Disabled') { throw 'The task is disabled. (Exception from HRESULT: 0x80041326)' }
    if ($State.logonFailure) { $t.LastTaskResult = $State.logonFailure; return }
    $t.LastTaskResult = 0x41301
    $action = @($t.Actions)[0]
    $folder = $action.WorkingDirectory
    $now = [datetime]'2026-12-10T12:00:00'
    $id = 9000 + 10 * @($State.processes).Count
    $State.processes = @($State.processes) + @(
        [pscustomobject]@{ Name = 'cmd.exe'; ProcessId = $id; ParentProcessId = 4; ExecutablePath = $action.Execute; CommandLine = (Get-CommandLine $action); CreationDate = $now; Owner = $t.UserId }
        [pscustomobject]@{ Name = 'watchdog.exe'; ProcessId = $id + 1; ParentProcessId = $id; ExecutablePath = "$folder\watchdog.exe"; CommandLine = "`"$folder\watchdog.exe`""; CreationDate = $now.AddMilliseconds(30); Owner = $t.UserId }
        [pscustomobject]@{ Name = 'cmd.exe'; ProcessId = $id + 2; ParentProcessId = $id + 1; ExecutablePath = $action.Execute; CommandLine = 'cmd.exe /c Zentrova.exe'; CreationDate = $now.AddMilliseconds(60); Owner = $t.UserId }
        [pscustomobject]@{ Name = 'Zentrova.exe'; ProcessId = $id + 3; ParentProcessId = $id + 2; ExecutablePath = "$folder\Zentrova.exe"; CommandLine = 'Zentrova.exe'; CreationDate = $now.AddMilliseconds(90); Owner = $t.UserId }
    )
}

# Windows 7 and Server 2008 R2 have no Task Scheduler cmdlets.
$exported = 'Save-FakeWindows', 'Get-CimInstance', 'Get-Process'
if (-not $State.noTaskCmdlets) {
    $exported += 'Get-ScheduledTask', 'Get-ScheduledTaskInfo', 'New-ScheduledTaskAction', 'New-ScheduledTaskTrigger',
        'New-ScheduledTaskSettingsSet', 'Register-ScheduledTask', 'Enable-ScheduledTask', 'Disable-ScheduledTask',
        'Unregister-ScheduledTask', 'Start-ScheduledTask'
}
Export-ModuleMember -Function $exported
