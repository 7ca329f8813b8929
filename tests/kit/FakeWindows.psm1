# The least of Windows that watchdog-task.ps1 touches, as the commands, COM
# objects and functions of kernel32.dll that it calls, over a state that a
# test writes as JSON to $env:FAKE_WINDOWS and reads back after
# Save-FakeWindows: the process table (Win32_Process, and the processes that
# Get-Process opens), the paths that Windows finally opens, the DOS devices,
# and the Task Scheduler's store. Elevation is whoami.exe, a program beside
# this module on PATH. Each part fails as Windows does, where its page says
# how.

$State = Get-Content -Raw -LiteralPath $env:FAKE_WINDOWS | ConvertFrom-Json
foreach ($list in 'processes', 'tasks', 'folders', 'reuse', 'ended', 'registered', 'deleted', 'unreadable', 'fail') {
    if (-not $State.PSObject.Properties[$list]) { $State | Add-Member $list @() }
}
foreach ($table in 'paths', 'devices', 'passwords') {
    if (-not $State.PSObject.Properties[$table]) { $State | Add-Member $table ([pscustomobject]@{}) }
}
foreach ($p in @($State.processes) + @($State.reuse | ForEach-Object { $_.becomes })) {
    if ($p) { $p.CreationDate = [datetime]$p.CreationDate }
}
$Listed = $false
# The Task Scheduler service's own process, the parent of what a task starts.
$SchedulerId = 800
$Now = [datetime]'2026-12-10T12:00:00'

function Save-FakeWindows {
    $State | ConvertTo-Json -Depth 10 | Set-Content -LiteralPath $env:FAKE_WINDOWS
}

# Errors as .NET's COM interop raises them from an HRESULT: access denied and
# file not found as their own exception types, the rest as COMException, with
# the system's text of the code ("Marshal.GetExceptionForHR", "HRESULTs and
# exceptions", learn.microsoft.com). The texts are Windows' own.
$Texts = @{
    0x80070002 = 'The system cannot find the file specified.'
    0x80070005 = 'Access is denied.'
    0x8007052E = 'The user name or password is incorrect.'
    0x80041315 = 'The Task Scheduler service is not running.'
    0x80041326 = 'The task is disabled.'
}
function New-ComError([int64] $HResult) {
    $code = ConvertTo-Long $HResult
    $text = '{0} (Exception from HRESULT: 0x{1:X8})' -f $Texts[$code], $code
    switch ($code) {
        0x80070002 { New-Object IO.FileNotFoundException $text }
        0x80070005 { New-Object UnauthorizedAccessException $text }
        default { New-Object Runtime.InteropServices.COMException $text, $code }
    }
}

# A code as a signed LONG, as COM gives it, from the state's either form.
function ConvertTo-Long([int64] $Value) { [int]$(if ($Value -gt 0x7FFFFFFF) { $Value - 0x100000000 } else { $Value }) }

# A call that the test makes fail: by the name of the method or property, and
# for the folders' calls, the folder.
function Assert-Works([string] $Call, [string] $Path) {
    foreach ($f in @($State.fail)) {
        if ($f -and $f.call -eq $Call -and (-not $f.path -or $f.path -eq $Path)) { throw (New-ComError $f.hresult) }
    }
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
    if ($ClassName -ne 'Win32_Process') { throw "The fake has no class $ClassName." }
    $only = if ($Filter -match '^ProcessId = (\d+)$') { [int]$Matches[1] }
    foreach ($p in @($State.processes) | Where-Object { -not $only -or $_.ProcessId -eq $only }) {
        $seen = $State.elevated -or -not $p.Owner
        [pscustomobject]@{
            Name = $p.Name; ProcessId = $p.ProcessId; ParentProcessId = $p.ParentProcessId
            CreationDate = $p.CreationDate
            ExecutablePath = $(if ($seen -and -not $p.PathHidden) { $p.ExecutablePath })
            CommandLine = $(if ($seen) { $p.CommandLine })
        }
    }
    # The processes that end, or whose ids are given to another process, after
    # the first listing.
    if (-not $only -and -not $script:Listed) {
        $script:Listed = $true
        foreach ($r in @($State.reuse)) {
            if ($r.ends) { Remove-Process (Find-Process $r.ends) }
            elseif ($r) { Remove-Process (Find-Process $r.becomes.ProcessId); $State.processes = @($State.processes) + $r.becomes }
        }
    }
}

# An open process: its id and start time, and Kill and WaitForExit on the
# process it was opened on, whatever has its id since. Process.Handle throws
# where the process cannot be opened (another account's, for an
# administrator without the debug privilege: "Process.Handle Property",
# learn.microsoft.com), and PowerShell turns that into $null (PowerShell-Docs
# issue #12803, PowerShell issue #23845); Kill then throws as well.
function Get-Process {
    [CmdletBinding()]
    param([int] $Id)
    $p = Find-Process $Id
    if (-not $p) { Write-Error "Cannot find a process with the process identifier $Id."; return }
    $opened = [pscustomobject]@{ Id = $p.ProcessId; ProcessName = $p.Name -replace '\.exe$'; StartTime = $p.CreationDate; Process = $p }
    $opened | Add-Member ScriptProperty Handle {
        if ($this.Process.PSObject.Properties['Unopenable']) { throw (New-Object ComponentModel.Win32Exception 5) }
        1
    }
    $opened | Add-Member ScriptProperty HasExited { @($State.processes) -notcontains $this.Process }
    $opened | Add-Member ScriptMethod Kill {
        if ($this.Process.PSObject.Properties['Unopenable']) { throw (New-Object ComponentModel.Win32Exception 5) }
        if ($this.HasExited) { throw 'The process has exited.' }
        # One that hangs in its end, in a driver say, outlives its end.
        if ($this.Process.PSObject.Properties['Unkillable']) { return }
        Remove-Process $this.Process
        $State.ended = @($State.ended) + $this.Process.ProcessId
    }
    $opened | Add-Member ScriptMethod WaitForExit { param($Milliseconds) $this.HasExited }
    $opened
}

# kernel32's CreateFileW, GetFinalPathNameByHandleW and QueryDosDeviceW, as
# the script declares them, over the state's tables: a path that Windows
# opens as another (through a subst drive, a junction or a short name: the
# final path, "GetFinalPathNameByHandleW function", learn.microsoft.com), a
# folder that exists here opening as itself, one whose final path is "!N"
# failing with error N, any other failing with ERROR_PATH_NOT_FOUND; a drive's target as QueryDosDeviceW gives it: a subst
# drive's is \??\ and its folder, an alias in the local device directory of
# the logon session that made it (experts-exchange.com question 24149445,
# "Unfolding the Windows path"; stackoverflow.com question 23041983, "Path
# prefixes \??\ and \\?\"), a volume's its device. Compiled once a process,
# filled at each Add-Type.
$Win32 = @'
using System; using System.Collections.Generic; using System.IO; using System.Text;
using System.Runtime.InteropServices; using Microsoft.Win32.SafeHandles;
namespace WatchdogTask {
    public static class Win32 {
        public static Dictionary<string, string> Final = new Dictionary<string, string>(StringComparer.OrdinalIgnoreCase);
        public static Dictionary<string, string> Devices = new Dictionary<string, string>(StringComparer.OrdinalIgnoreCase);
        static readonly List<string> opened = new List<string>();
        public static SafeFileHandle CreateFileW(string name, uint access, uint share, IntPtr security, uint disposition, uint flags, IntPtr template) {
            string final;
            if (Final.TryGetValue(name, out final) && final.StartsWith("!")) { Marshal.SetLastPInvokeError(int.Parse(final.Substring(1))); return new SafeFileHandle(new IntPtr(-1), false); }
            if (!Final.TryGetValue(name, out final)) {
                if (!Directory.Exists(name)) { Marshal.SetLastPInvokeError(3); return new SafeFileHandle(new IntPtr(-1), false); }
                final = name;
            }
            opened.Add(@"\\?\" + final);
            return new SafeFileHandle(new IntPtr(opened.Count), false);
        }
        public static uint GetFinalPathNameByHandleW(SafeFileHandle file, StringBuilder path, uint size, uint flags) {
            string name = opened[(int)file.DangerousGetHandle() - 1];
            if (name.Length >= size) return (uint)name.Length + 1;
            path.Append(name);
            return (uint)name.Length;
        }
        public static uint QueryDosDeviceW(string device, StringBuilder target, uint size) {
            string found;
            if (!Devices.TryGetValue(device, out found)) { Marshal.SetLastPInvokeError(2); return 0; }
            target.Append(found);
            return (uint)found.Length + 2;
        }
    }
}
'@
function Add-Type([string] $Namespace, [string] $Name, [string] $MemberDefinition) {
    if ("$Namespace.$Name" -ne 'WatchdogTask.Win32') { throw "The fake has no type $Namespace.$Name." }
    if (-not ('WatchdogTask.Win32' -as [type])) { Microsoft.PowerShell.Utility\Add-Type -TypeDefinition $Win32 }
    foreach ($table in 'Final', 'Devices') { ([type]'WatchdogTask.Win32')::$table.Clear() }
    foreach ($p in $State.paths.PSObject.Properties) { [WatchdogTask.Win32]::Final[$p.Name] = $p.Value }
    foreach ($d in $State.devices.PSObject.Properties) { [WatchdogTask.Win32]::Devices[$d.Name] = $d.Value }
}

# The Task Scheduler's COM object model ("Task Scheduler Scripting Objects",
# learn.microsoft.com): the service, its folders, registered tasks and their
# definitions, under the object model's names. States and results are
# numbers: TASK_STATE 1 disabled, 3 ready, 4 running ("TASK_STATE
# enumeration"), LastTaskResult a signed LONG. Every failure is an exception
# with its HRESULT; one in a property's getter reaches the script as $null.
function New-Object {
    [CmdletBinding()]
    param([Parameter(Position = 0)] [string] $TypeName, [Parameter(Position = 1)] [object[]] $ArgumentList, [string] $ComObject)
    if (-not $ComObject) { return Microsoft.PowerShell.Utility\New-Object @PSBoundParameters }
    if ($ComObject -ne 'Schedule.Service') { throw "The fake has no COM class $ComObject." }
    if ($State.noScheduler) { throw (New-ComError 0x80041315) }
    $service = [pscustomobject]@{ Connected = $false }
    $service | Add-Member ScriptMethod Connect { Assert-Works 'Connect'; $this.Connected = $true }
    $service | Add-Member ScriptMethod GetFolder {
        param($Path)
        Assert-Works 'GetFolder' $Path
        if (-not $this.Connected) { throw (New-ComError 0x80041315) }
        if ($Path -ne '\' -and (Get-FolderPaths) -notcontains $Path) { throw (New-ComError 0x80070002) }
        New-TaskFolder $Path
    }
    $service | Add-Member ScriptMethod NewTask { param($Flags) Assert-Works 'NewTask'; New-Definition }
    $service
}

function Get-FolderPaths {
    $paths = @(@($State.folders) + @($State.tasks | ForEach-Object { Split-TaskPath $_.Path | Select-Object -First 1 })) | Where-Object { $_ }
    @($paths | ForEach-Object { $p = $_; while ($p -ne '\') { $p; $p = Split-TaskPath $p | Select-Object -First 1 } }) | Sort-Object -Unique
}

# A task's folder and name from its path: '\Name' is in '\', '\A\Name' in '\A'.
function Split-TaskPath([string] $Path) {
    $i = $Path.LastIndexOf('\')
    if ($i -le 0) { '\' } else { $Path.Substring(0, $i) }
    $Path.Substring($i + 1)
}

function New-TaskFolder([string] $Path) {
    $folder = [pscustomobject]@{ Path = $Path; Name = (Split-TaskPath $Path)[1] }
    $folder | Add-Member ScriptMethod GetFolders {
        param($Flags)
        Assert-Works 'GetFolders' $this.Path
        foreach ($p in Get-FolderPaths) { if ((Split-TaskPath $p)[0] -eq $this.Path) { New-TaskFolder $p } }
    }
    # TASK_ENUM_HIDDEN (1) lists hidden tasks too ("ITaskFolder::GetTasks").
    $folder | Add-Member ScriptMethod GetTasks {
        param($Flags)
        Assert-Works 'GetTasks' $this.Path
        foreach ($t in @($State.tasks)) { if ($t -and (Split-TaskPath $t.Path)[0] -eq $this.Path) { New-RegisteredTask $t } }
    }
    $folder | Add-Member ScriptMethod DeleteTask {
        param($Name, $Flags)
        Assert-Works 'DeleteTask' $this.Path
        $path = $(if ($this.Path -eq '\') { "\$Name" } else { "$($this.Path)\$Name" })
        $gone = @($State.tasks) | Where-Object { $_.Path -eq $path }
        if (-not $gone) { throw (New-ComError 0x80070002) }
        $State.tasks = @(@($State.tasks) | Where-Object { $_ -ne $gone })
        $State.deleted = @($State.deleted) + $path
    }
    # TASK_CREATE_OR_UPDATE (6), TASK_LOGON_PASSWORD (1): the account's
    # password is checked as the task is registered, and a task that exists
    # keeps its results ("ITaskFolder::RegisterTaskDefinition").
    $folder | Add-Member ScriptMethod RegisterTaskDefinition {
        param($Name, $Definition, $Flags, $UserId, $Password, $LogonType)
        Assert-Works 'RegisterTaskDefinition' $this.Path
        if ($Flags -ne 6 -or $LogonType -ne 1 -or $State.passwords.$UserId -ne $Password) { throw (New-ComError 0x8007052E) }
        $path = $(if ($this.Path -eq '\') { "\$Name" } else { "$($this.Path)\$Name" })
        $old = @($State.tasks) | Where-Object { $_.Path -eq $path }
        $record = [pscustomobject]@{
            Path = $path; UserId = $UserId; Enabled = [bool]$Definition.Settings.Enabled
            LastTaskResult = $(if ($old) { $old.LastTaskResult } else { 0x41303 })
            LastRunTime = $(if ($old) { $old.LastRunTime } else { '1899-12-30T00:00:00' })
            Actions = @($Definition.Actions.Items | ForEach-Object { $_ })
            Triggers = @($Definition.Triggers.Items | ForEach-Object { $_ })
            Settings = $Definition.Settings
        }
        $State.tasks = @(@($State.tasks) | Where-Object { $_ -ne $old }) + $record
        $State.registered = @($State.registered) + $path
        New-RegisteredTask $record
    }
    $folder
}

# A definition as NewTask gives it: empty collections whose Create adds an
# action (TASK_ACTION_EXEC, 0) or a trigger (TASK_TRIGGER_BOOT, 8), and
# settings at Task Scheduler's defaults.
function New-Definition {
    $collection = {
        $c = [pscustomobject]@{ Items = @() }
        $c | Add-Member ScriptMethod Create {
            param($Type)
            $item = if ($Type -eq 0) { [pscustomobject]@{ Type = 0; Path = ''; Arguments = ''; WorkingDirectory = '' } } else { [pscustomobject]@{ Type = $Type; Enabled = $true } }
            $this.Items = @($this.Items) + $item
            $item
        }
        $c
    }
    [pscustomobject]@{
        Actions = & $collection; Triggers = & $collection
        Principal = [pscustomobject]@{ UserId = ''; LogonType = 0 }
        Settings = [pscustomobject]@{
            Enabled = $true; Priority = 7; ExecutionTimeLimit = 'PT72H'; MultipleInstances = 2
            DisallowStartIfOnBatteries = $true; StopIfGoingOnBatteries = $true
        }
    }
}

# A running instance is the process that the service started for the task's
# action, while it lives.
function Test-TaskRuns($Record) {
    $a = @($Record.Actions)[0]
    $line = "$($a.Path) $($a.Arguments)".Trim()
    [bool](@($State.processes) | Where-Object {
        $_.ParentProcessId -eq $SchedulerId -and $(if ($a.Arguments) { $_.CommandLine -eq $line } else { $_.ExecutablePath -eq $a.Path.Trim('"') })
    })
}

# A run starts once the service gets to it: the state that a test names as
# its lag reads on as before, then the run either fails to log on, with the
# result that the account's logon gives, or starts the runner, its watchdog,
# the watchdog's cmd.exe and the server.
function Invoke-Run($Record) {
    $Record.LastRunTime = $Now.ToString('o')
    if ($State.logonFailure) { $Record.LastTaskResult = $State.logonFailure; return }
    $Record.LastTaskResult = 0x41301
    $a = @($Record.Actions)[0]
    # The path starts the command line that Task Scheduler runs: unquoted, a
    # blank in it ends the program's name, and the program is not found
    # (puppetlabs-scheduled_task#253).
    if ($a.Path -notmatch '^".*"$' -and $a.Path.Contains(' ')) { $Record.LastTaskResult = 0x80070002; return }
    $dir = $a.WorkingDirectory
    $id = 9000 + 10 * @($State.processes).Count
    $State.processes = @($State.processes) + @(
        [pscustomobject]@{ Name = 'run-watchdog.exe'; ProcessId = $id; ParentProcessId = $SchedulerId; ExecutablePath = $a.Path.Trim('"'); CommandLine = $a.Path; CreationDate = $Now; Owner = $Record.UserId }
        [pscustomobject]@{ Name = 'watchdog.exe'; ProcessId = $id + 1; ParentProcessId = $id; ExecutablePath = "$dir\watchdog.exe"; CommandLine = "`"$dir\watchdog.exe`""; CreationDate = $Now.AddMilliseconds(30); Owner = $Record.UserId }
        [pscustomobject]@{ Name = 'cmd.exe'; ProcessId = $id + 2; ParentProcessId = $id + 1; ExecutablePath = 'C:\Windows\System32\cmd.exe'; CommandLine = 'cmd.exe /c Zentrova.exe'; CreationDate = $Now.AddMilliseconds(60); Owner = $Record.UserId }
        [pscustomobject]@{ Name = 'Zentrova.exe'; ProcessId = $id + 3; ParentProcessId = $id + 2; ExecutablePath = "$dir\Zentrova.exe"; CommandLine = 'Zentrova.exe'; CreationDate = $Now.AddMilliseconds(90); Owner = $Record.UserId }
    )
}

function Step-Run($Record) {
    if (-not $Record.PSObject.Properties['Pending']) { return }
    if ($Record.Pending -gt 0) { $Record.Pending--; return }
    $Record.PSObject.Properties.Remove('Pending')
    Invoke-Run $Record
}

# A registered task, read live from the store. Enabled is written through;
# Run fails on a disabled task with SCHED_E_TASK_DISABLED and returns before
# the task runs ("IRegisteredTask::Run", "Task Scheduler Error and Success
# Constants"); Definition cannot be read where the task's definition is
# damaged.
function New-RegisteredTask($Record) {
    $task = [pscustomobject]@{ Record = $Record; Name = (Split-TaskPath $Record.Path)[1]; Path = $Record.Path }
    $task | Add-Member ScriptProperty State {
        Step-Run $this.Record
        if ($this.Record.PSObject.Properties['Pending']) { return $this.Record.Before }
        if (Test-TaskRuns $this.Record) { 4 } elseif (-not $this.Record.Enabled) { 1 } else { 3 }
    }
    $task | Add-Member ScriptProperty Enabled { [bool]$this.Record.Enabled } { param($Value) Assert-Works 'Enabled'; $this.Record.Enabled = [bool]$Value }
    $task | Add-Member ScriptProperty LastTaskResult { ConvertTo-Long $this.Record.LastTaskResult }
    $task | Add-Member ScriptProperty LastRunTime { [datetime]$this.Record.LastRunTime }
    $task | Add-Member ScriptProperty Definition {
        if (@($State.unreadable) -contains $this.Path) { throw (New-ComError 0x80070005) }
        [pscustomobject]@{
            Actions = @($this.Record.Actions); Triggers = @($this.Record.Triggers); Settings = $this.Record.Settings
            Principal = [pscustomobject]@{ UserId = $this.Record.UserId }
        }
    }
    $task | Add-Member ScriptMethod Run {
        param($Parameters)
        Assert-Works 'Run'
        if (-not $this.Record.Enabled) { throw (New-ComError 0x80041326) }
        $lag = [int]$State.startLag
        if ($lag) { $this.Record | Add-Member -Force Before $this.State; $this.Record | Add-Member -Force Pending $lag } else { Invoke-Run $this.Record }
        [pscustomobject]@{ InstanceGuid = '{00000000-0000-0000-0000-000000000001}' }
    }
    $task
}

Export-ModuleMember -Function Save-FakeWindows, Get-CimInstance, Get-Process, Add-Type, New-Object
