# watchdog-task.ps1 as it ships, run as an operator runs it, on a fake of the
# Windows it touches, in every state of a folder: what it says, what it ends
# and changes, and the exit status that the operator's shell sees.

BeforeAll {
    $Deploy = Join-Path $PSScriptRoot '../../deploy'
    $Runner = Join-Path $PSScriptRoot 'Invoke-AsOperator.ps1'
    $Cmd = 'C:\Windows\System32\cmd.exe'
    $Account = 'SERVER\zentrova'
    $T0 = [datetime]'2026-12-10T08:00:00'
    # The Task Scheduler service, parent of what a task starts, and Explorer.
    $Scheduler = 800
    $Explorer = 3000
    $env:SystemRoot = 'C:\Windows'
    $env:PATH = (Join-Path $PSScriptRoot 'bin') + [IO.Path]::PathSeparator + $env:PATH

    # A server's folder as the operator unpacks the kit into it.
    function New-Kit([string] $Name, [string[]] $Without = @()) {
        # .NET's calls, which keep a name's trailing dot or blank as Windows'
        # own calls under \\?\ do.
        $dir = [IO.Directory]::CreateDirectory("$TestDrive/$Name").FullName
        [IO.File]::Copy((Join-Path $Deploy 'watchdog-task.ps1'), "$dir/watchdog-task.ps1", $true)
        foreach ($file in 'watchdog.exe', 'run-watchdog.exe', 'Zentrova.exe') {
            if ($Without -notcontains $file) { [IO.File]::WriteAllText("$dir/$file", '') } else { [IO.File]::Delete("$dir/$file") }
        }
        $dir
    }


    function Get-OldArguments([string] $Dir) { '/d /c ""{0}\run-watchdog.cmd" >> "{0}\watchdog.log" 2>&1"' -f $Dir }

    function New-Process([string] $Name, [int] $Id, [int] $Parent, [string] $Path, [string] $Line, [int] $AtMs, [string] $Owner = $Account) {
        [pscustomobject]@{
            Name = $Name; ProcessId = $Id; ParentProcessId = $Parent; ExecutablePath = $Path; CommandLine = $Line
            CreationDate = $T0.AddMilliseconds($AtMs).ToString('o'); Owner = $Owner
        }
    }

    # One set of a folder, ids from $Base: the runner that the task started
    # ('runner'), or one started by hand ('hand'), or 1.1.0's batch file as its
    # task started it ('batch') or as double-clicked ('typed'), or a console
    # (1.1.0's batch file typed into it starts itself again, 'again'), with
    # the batch file's ping; then the watchdog, its cmd.exe and the server. A
    # server without its cmd.exe has a parent that has ended.
    function New-Set([string] $Dir, [int] $Base, [string[]] $Parts = @('runner', 'watchdog', 'shell', 'server')) {
        $runner = "$Dir\run-watchdog.exe"
        if ($Parts -contains 'runner') { New-Process 'run-watchdog.exe' $Base $Scheduler $runner "`"$runner`"" 0 }
        elseif ($Parts -contains 'hand') { New-Process 'run-watchdog.exe' $Base $Explorer $runner "`"$runner`"" 0 }
        elseif ($Parts -contains 'batch') { New-Process 'cmd.exe' $Base $Scheduler $Cmd "$Cmd $(Get-OldArguments $Dir)" 0 }
        elseif ($Parts -contains 'typed') { New-Process 'cmd.exe' $Base 4 $Cmd "$Cmd /c `"`"$Dir\run-watchdog.cmd`" `"" 0 }
        else { New-Process 'cmd.exe' $Base 4 $Cmd "`"$Cmd`"" 0 }
        $runs = $Base
        if ($Parts -contains 'again') { $runs = $Base + 5; New-Process 'cmd.exe' $runs $Base $Cmd "$Cmd /d /c `"`"$Dir\run-watchdog.cmd`" `"" 50 }
        if ($Parts -contains 'ping') { New-Process 'ping.exe' ($Base + 1) $runs 'C:\Windows\System32\ping.exe' 'ping.exe -n 61 127.0.0.1' 500 }
        if ($Parts -contains 'watchdog') { New-Process 'watchdog.exe' ($Base + 2) $runs "$Dir\watchdog.exe" "`"$Dir\watchdog.exe`"" 100 }
        if ($Parts -contains 'shell') { New-Process 'cmd.exe' ($Base + 3) ($Base + 2) $Cmd 'cmd.exe /c Zentrova.exe' 200 }
        if ($Parts -contains 'server') { New-Process 'Zentrova.exe' ($Base + 4) ($Base + 3) "$Dir\Zentrova.exe" 'Zentrova.exe' 300 }
    }

    # A task as Task Scheduler's store holds it: the folder's, as install
    # registers it, or 1.1.0's (-Old), or with the action given.
    function New-Task([string] $Dir, [string] $State = 'Ready', [int64] $Result = 0x41301, [string] $Name = '\Zentrova watchdog', [switch] $Old, $Action) {
        if (-not $Action) {
            $Action = if ($Old) { @{ Path = $Cmd; Arguments = (Get-OldArguments $Dir); WorkingDirectory = $Dir } }
                else { @{ Path = "`"$Dir\run-watchdog.exe`""; Arguments = ''; WorkingDirectory = $Dir } }
        }
        [pscustomobject]@{
            Path = $Name; UserId = $Account; Enabled = $State -ne 'Disabled'; LastTaskResult = $Result; LastRunTime = $T0.ToString('s')
            Actions = @([pscustomobject](@{ Type = 0 } + $Action)); Triggers = @([pscustomobject]@{ Type = 8; Enabled = $true })
        }
    }

    function New-World([object[]] $Processes = @(), [object[]] $Tasks = @(), [bool] $Elevated = $true) {
        [pscustomobject]@{
            elevated = $Elevated; processes = @($Processes | Where-Object { $_ }); tasks = @($Tasks)
            passwords = @{ $Account = 'right' }; paths = @{}; devices = @{}; reuse = @(); ended = @(); registered = @(); deleted = @(); fail = @(); unreadable = @(); folders = @()
        }
    }

    # Runs the script of $Dir with the options given (User and Password make
    # -Credential), in a world that the run then leaves behind.
    function Invoke-Kit($World, [string] $Verb, [hashtable] $Options = @{}, [string] $Dir = $Kit, [switch] $StopProfile) {
        $json = Join-Path $TestDrive 'windows.json'
        $World | ConvertTo-Json -Depth 10 | Set-Content -LiteralPath $json
        $level = if ($World.elevated) { 'High', '12288' } else { 'Medium', '8192' }
        Set-Content -LiteralPath "$json.groups" @(
            '"Everyone","Well-known group","S-1-1-0","Mandatory group, Enabled by default, Enabled group"'
            "`"Mandatory Label\$($level[0]) Mandatory Level`",`"Label`",`"S-1-16-$($level[1])`",`"`"")
        Remove-Item -LiteralPath "$json.whoami" -ErrorAction Ignore
        $env:FAKE_WINDOWS = $json
        $named = @{}
        foreach ($key in $Options.Keys) { if ($key -notin 'User', 'Password') { $named[$key] = $Options[$key] } }
        if ($Options.User) { $named.Credential = New-Object System.Management.Automation.PSCredential($Options.User, (ConvertTo-SecureString $Options.Password -AsPlainText -Force)) }
        $run = & $Runner (Join-Path $Dir 'watchdog-task.ps1') $Verb $named -StopProfile:$StopProfile
        [pscustomobject]@{
            Output = $run.Output; Status = $run.Status
            After = (Get-Content -Raw -LiteralPath $json | ConvertFrom-Json)
            Whoami = @(Get-Content -LiteralPath "$json.whoami" -ErrorAction Ignore)
        }
    }

    function Get-Task($Run, [string] $Path = '\Zentrova watchdog') { @($Run.After.tasks) | Where-Object { $_.Path -eq $Path } }

    $Kit = New-Kit "O'Neil Zentrova"
    # A second server whose folder's name begins with the first one's.
    $Kit2 = New-Kit "O'Neil Zentrova2"
    $Other = @{ Path = "$Kit\run-watchdog.exe"; Arguments = '/debug'; WorkingDirectory = $Kit }
}

Describe 'status' -Tag 'status' {
    It '<Name>: <Says>, status <Status>' -ForEach @(
        @{ Name = 'running'; Status = 0; Says = 'Running: the server runs under the watchdog'
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
        @{ Name = 'the 3-second pause'; Status = 0; Says = '3-second pause'
            World = { New-World (New-Set $Kit 100 'runner', 'watchdog') (New-Task $Kit) } }
        @{ Name = 'the runner''s minute'; Status = 0; Says = 'Running: the runner waits a minute'
            World = { New-World (New-Set $Kit 100 'runner') (New-Task $Kit) } }
        @{ Name = 'installed, never run'; Status = 3; Says = 'Installed, never run: run start'
            World = { New-World @() (New-Task $Kit -Result 0x41303) } }
        @{ Name = 'ended after 4919'; Status = 3; Says = 'Ended: the server asked to stay stopped \(exit code 4919\)\. The task is enabled and starts at boot: the next boot starts the server again'
            World = { New-World @() (New-Task $Kit -Result 0) } }
        @{ Name = 'ended after 4919, the task without its boot trigger'; Status = 3; Says = '4919\)\. The task does not start at boot: nothing starts the server again but start'
            World = { $t = New-Task $Kit -Result 0; $t.Triggers[0].Enabled = $false; New-World @() $t } }
        @{ Name = 'ended otherwise'; Status = 3; Says = 'Ended with result 0xC000013A \(3221225786\): watchdog.log says why'
            World = { New-World @() (New-Task $Kit -Result 0xC000013A) } }
        @{ Name = 'a bad password'; Status = 3; Says = 'Could not start \(0x8007052E\): the account could not log on: unknown user name or bad password(.|\n)*Task Scheduler does not try again'
            World = { New-World @() (New-Task $Kit -Result 0x8007052E) } }
        @{ Name = 'without the batch logon right'; Status = 3; Says = '\(0x80070569\): the account could not log on: it lacks the right "Log on as a batch job"'
            World = { New-World @() (New-Task $Kit -Result 0x80070569) } }
        @{ Name = 'an account restriction'; Status = 3; Says = '\(0x8007052F\): the account could not log on: an account restriction forbids it \(a blank password'
            World = { New-World @() (New-Task $Kit -Result 0x8007052F) } }
        @{ Name = 'outside the logon hours'; Status = 3; Says = '\(0x80070530\): the account could not log on: not at this hour'
            World = { New-World @() (New-Task $Kit -Result 0x80070530) } }
        @{ Name = 'not at this workstation'; Status = 3; Says = '\(0x80070531\): the account could not log on: not at this computer'
            World = { New-World @() (New-Task $Kit -Result 0x80070531) } }
        @{ Name = 'no logon server at boot'; Status = 3; Says = '\(0x8007051F\): the account could not log on: no logon server answered; at boot(.|\n)*does not try again'
            World = { New-World @() (New-Task $Kit -Result 0x8007051F) } }
        @{ Name = 'a folder it cannot start in'; Status = 3; Says = '\(0x8007010B\): the folder it starts in could not be opened'
            World = { New-World @() (New-Task $Kit -Result 0x8007010B) } }
        @{ Name = 'a Windows error of no row'; Status = 3; Says = "\(0x80070035\): Windows says: $([regex]::Escape((New-Object ComponentModel.Win32Exception 0x35).Message.TrimEnd('.')))\. Task Scheduler does not try again"
            World = { New-World @() (New-Task $Kit -Result 0x80070035) } }
        @{ Name = 'stopped'; Status = 3; Says = 'Stopped: the task is disabled and nothing of this folder runs'
            World = { New-World @() (New-Task $Kit -State Disabled -Result 1) } }
        @{ Name = 'disabled, with processes running'; Status = 1; Says = 'is running, disabled(.|\n)*Disabled, yet this folder''s programs run: run stop'
            World = { New-World (New-Set $Kit 100 'runner', 'watchdog') (New-Task $Kit -State Disabled) } }
        @{ Name = 'not installed'; Status = 3; Says = 'Not installed: run install'
            World = { New-World (New-Set $Kit2 200) (New-Task $Kit2) } }
        @{ Name = 'not installed, started by hand'; Status = 1; Says = 'Not installed, yet this folder''s programs run'
            World = { New-World (New-Set $Kit 100 'hand', 'watchdog', 'shell', 'server') } }
        @{ Name = 'the runner started by hand, the task not running'; Status = 1; Says = 'The task is not running, yet this folder''s programs run: run restart'
            World = { New-World (New-Set $Kit 100 'hand', 'watchdog', 'shell', 'server') (New-Task $Kit -Result 0) } }
        @{ Name = 'two sets'; Status = 1; Says = 'Two sets run in this folder'
            World = { New-World ((New-Set $Kit 100) + (New-Set $Kit 110 'hand', 'watchdog', 'shell', 'server')) (New-Task $Kit) } }
        @{ Name = 'a server without a watchdog'; Status = 1; Says = 'A server runs without a watchdog: Zentrova.exe 114'
            World = { New-World ((New-Set $Kit 100 'runner', 'watchdog') + (New-Set $Kit 110 'server')[1]) (New-Task $Kit) } }
        @{ Name = 'a watchdog started in a console'; Status = 1; Says = 'Started by hand, not by the task: watchdog.exe 112'
            World = { New-World (@(New-Set $Kit 100 'runner') + (New-Set $Kit 110 'watchdog', 'shell', 'server')) (New-Task $Kit) } }
        @{ Name = 'a set of 1.1.0 beside the task'; Status = 1; Says = 'A set of 1.1.0 runs in this folder: cmd.exe 110'
            World = { New-World (@(New-Set $Kit 100 'runner') + (New-Set $Kit 110 'typed', 'ping')) (New-Task $Kit) } }
        @{ Name = '1.1.0''s task'; Status = 3; Says = 'The task ''\\Zentrova watchdog'' runs run-watchdog.cmd, as 1.1.0 registered it: run install to convert it\.'
            World = { New-World @() (New-Task $Kit -Old -Result 0) } }
        @{ Name = '1.1.0''s task and set'; Status = 1; Says = 'cmd.exe 100(.|\n)*as 1.1.0 registered it: run install to convert it, after stop'
            World = { New-World (New-Set $Kit 100 'batch', 'watchdog', 'shell', 'server') (New-Task $Kit -Old) } }
        @{ Name = 'not elevated, the task''s account hidden'; Status = 4; Says = 'Not elevated: these cannot be told apart(.|\n)*watchdog.exe 102(.|\n)*Could not tell'
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) -Elevated $false } }
        @{ Name = 'not elevated, the runner''s minute hidden'; Status = 4; Says = 'cannot be told apart(.|\n)*run-watchdog.exe 100(.|\n)*Could not tell'
            World = { New-World (New-Set $Kit 100 'runner') (New-Task $Kit) -Elevated $false } }
        @{ Name = 'not elevated, the server''s cmd.exe without its path'; Status = 4; Says = 'cannot be told apart(.|\n)*cmd.exe 113(.|\n)*Could not tell'
            World = { $p = (New-Set $Kit 110 'shell')[1]; $p.Owner = $null; $p | Add-Member PathHidden $true; New-World @(New-Set $Kit2 200; $p) (New-Task $Kit -Result 0) -Elevated $false } }
        @{ Name = 'not elevated, nothing hidden'; Status = 0; Says = 'none of this folder''s names is hidden(.|\n)*Running'
            World = { New-World (New-Set $Kit 100 | ForEach-Object { $_.Owner = $null; $_ }) (New-Task $Kit) -Elevated $false } }
        @{ Name = 'not elevated, no task visible'; Status = 4; Says = 'No task of this folder is visible, and this console is not elevated'
            World = { New-World -Elevated $false } }
        @{ Name = 'two tasks of the folder'; Status = 1; Says = '2 tasks run this folder'
            World = { New-World @() ((New-Task $Kit), (New-Task $Kit -Name '\Zentrova again')) } }
        @{ Name = 'a task of another form'; Status = 3; Says = 'Left alone: the task ''\\By hand'' names this folder''s files(.|\n)*Not installed'
            World = { New-World @() (New-Task $Kit -Name '\By hand' -Action $Other) } }
        @{ Name = 'a task and a task folder that cannot be read'; Status = 0; Says = 'Passed over, unreadable: the task ''\\Broken''(.|\n)*Passed over, unreadable: the task folder ''\\Locked''(.|\n)*Running'
            World = { $w = New-World (New-Set $Kit 100) ((New-Task $Kit), (New-Task $Kit2 -Name '\Broken')); $w.unreadable = @('\Broken'); $w.folders = @('\Locked'); $w.fail = @(@{ call = 'GetTasks'; path = '\Locked'; hresult = 0x80070005 }); $w } }
    ) {
        $run = Invoke-Kit (& $World) status
        $run.Output | Should -Match $Says
        $run.Status | Should -Be $Status
        $run.After.ended | Should -BeNullOrEmpty
    }

    It 'hands whoami.exe its words as Windows PowerShell 5.1 does' {
        (Invoke-Kit (New-World) status).Whoami | Should -Be '[/groups][/fo][csv][/nh]'
    }
}

Describe 'refusals' -Tag 'refusals' {
    It '<Verb> <Name>: <Says>, status <Status>, nothing changed' -ForEach @(
        @{ Verb = 'stop'; Name = 'not elevated'; Status = 1; Says = 'Not elevated: stop needs a PowerShell run as administrator'
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) -Elevated $false } }
        @{ Verb = 'install'; Name = 'not elevated'; Status = 1; Says = 'Not elevated'; World = { New-World -Elevated $false } }
        @{ Verb = 'stop'; Name = 'without watchdog.exe'; Status = 1; Says = 'There is no watchdog.exe in'; Dir = { New-Kit 'empty' -Without 'watchdog.exe' }
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
        @{ Verb = 'status'; Name = 'without watchdog.exe'; Status = 4; Says = 'There is no watchdog.exe in'; Dir = { New-Kit 'empty' -Without 'watchdog.exe' }
            World = { New-World } }
        @{ Verb = 'status'; Name = 'with Task Scheduler''s service stopped'; Status = 4; Says = 'status failed: Could not reach Task Scheduler: The Task Scheduler service is not running\. \(Exception from HRESULT: 0x80041315\) Nothing was changed\.'
            World = { $w = New-World; $w | Add-Member noScheduler $true; $w } }
        @{ Verb = 'install'; Name = 'beside no Zentrova.exe'; Status = 1; Says = 'There is no Zentrova.exe in .*Nothing was registered'
            Dir = { New-Kit 'unpacked' -Without 'Zentrova.exe' }; World = { New-World } }
        @{ Verb = 'install'; Name = 'beside no run-watchdog.exe'; Status = 1; Says = 'There is no run-watchdog.exe in .*Nothing was registered'
            Dir = { New-Kit 'old copy' -Without 'run-watchdog.exe' }; World = { New-World } }
        @{ Verb = 'install'; Name = 'for a second task'; Status = 1; Says = 'This folder''s task is ''\\Zentrova watchdog'' already'
            Options = @{ TaskName = 'Another'; User = 'SERVER\zentrova'; Password = 'right' }; World = { New-World @() (New-Task $Kit) } }
        @{ Verb = 'install'; Name = 'under another folder''s task name'; Status = 1; Says = 'belongs to another folder'
            Options = @{ TaskName = 'Zentrova watchdog'; User = 'SERVER\zentrova'; Password = 'right' }; World = { New-World @() (New-Task $Kit2) } }
        @{ Verb = 'install'; Name = 'beside an enabled task of another form'; Status = 1; Says = 'The task ''\\By hand'' would start this folder''s programs too'
            Options = @{ User = 'SERVER\zentrova'; Password = 'right' }; World = { New-World @() (New-Task $Kit -Name '\By hand' -Action $Other) } }
        @{ Verb = 'install'; Name = 'without an account under -NonInteractive'; Status = 1; Says = 'No account given, and -NonInteractive asks for none: give -Credential\. Nothing'
            World = { New-World } }
        @{ Verb = 'install'; Name = 'over 1.1.0''s task, without an account'; Status = 1; Says = 'give -Credential \(1.1.0''s task is converted in place, and its password is asked for again\)'
            World = { New-World @() (New-Task $Kit -Old -State Disabled) } }
        @{ Verb = 'install'; Name = 'while 1.1.0''s set runs'; Status = 1; Says = '1.1.0''s batch file still runs in this folder \(cmd.exe 100\): run stop first'
            Options = @{ User = 'SERVER\zentrova'; Password = 'right' }; World = { New-World (New-Set $Kit 100 'batch', 'watchdog') (New-Task $Kit -Old) } }
        @{ Verb = 'install'; Name = 'with a wrong password'; Status = 1; Says = 'install failed: Could not register the task ''\\Zentrova watchdog O''Neil Zentrova'': The user name or password is incorrect\. \(Exception from HRESULT: 0x8007052E\) Nothing was changed\.'
            Options = @{ User = 'SERVER\zentrova'; Password = 'wrong' }; World = { New-World } }
        @{ Verb = 'start'; Name = 'without a task'; Status = 1; Says = 'No task runs this folder: run install'; World = { New-World } }
        @{ Verb = 'start'; Name = 'beside a server without a watchdog'; Status = 1; Says = 'run outside the task .*run restart. Nothing was started'
            World = { New-World (New-Set $Kit 110 'server')[1] (New-Task $Kit) } }
        @{ Verb = 'start'; Name = 'with 1.1.0''s task'; Status = 1; Says = 'as 1.1.0 registered it: run install to convert it \(stop first, while it runs\)\. Nothing was changed'
            World = { New-World @() (New-Task $Kit -Old -State Disabled) } }
        @{ Verb = 'restart'; Name = 'with 1.1.0''s task'; Status = 1; Says = 'as 1.1.0 registered it: run install to convert it'
            World = { New-World (New-Set $Kit 100 'batch', 'watchdog', 'shell', 'server') (New-Task $Kit -Old) } }
        @{ Verb = 'remove'; Name = 'with 1.1.0''s task'; Status = 1; Says = 'as 1.1.0 registered it: run install to convert it'
            World = { New-World @() (New-Task $Kit -Old) } }
        @{ Verb = 'remove'; Name = 'without a task'; Status = 1; Says = 'No task runs this folder'; World = { New-World } }
    ) {
        $world = & $World
        $dir = if ($Dir) { & $Dir } else { $Kit }
        $run = Invoke-Kit $world $Verb $(if ($Options) { $Options } else { @{} }) $dir
        $run.Output | Should -Match $Says
        $run.Status | Should -Be $Status
        $run.After.ended | Should -BeNullOrEmpty
        $run.After.registered | Should -BeNullOrEmpty
        ($run.After.tasks | ConvertTo-Json -Depth 8) | Should -Be ($world.tasks | ConvertTo-Json -Depth 8)
    }
}

# A folder has one final path, the one that Windows opens whatever the
# spelling: install registers only that one, and every verb finds the same
# task and processes from any spelling.
Describe 'the folder''s path' -Tag 'paths' {
    BeforeAll {
        # Each another spelling of the kit's folder, that leads to it here as a
        # link: a subst drive made of it, a junction to it, its short name.
        $Subst, $Junction, $Short = foreach ($name in 'Z', 'Link to Zentrova', 'ONEILZ~1') {
            (New-Item -ItemType SymbolicLink -Path (Join-Path $TestDrive $name) -Target $Kit).FullName
        }
        function New-Spelled([string] $Spelled, [hashtable] $Devices = @{}) {
            $w = New-World (New-Set $Kit 100) (New-Task $Kit)
            $w.paths = @{ $Spelled = $Kit }
            $w.devices = $Devices
            $w
        }
    }

    AfterAll {
        foreach ($link in $Subst, $Junction, $Short) { [IO.Directory]::Delete($link) }
    }

    It 'install refuses <Name>: <Says>' -ForEach @(
        @{ Name = 'a subst drive'; Says = 'is on /, a drive that subst made: it exists only in the logon session that made it, and the task''s account never sees it\. Run the script from .*O''Neil Zentrova\.'
            Dir = { $Subst }; World = { New-Spelled $Subst @{ '/' = '\??\C:\Servers\Zentrova' } } }
        @{ Name = 'a junction'; Says = 'Link to Zentrova is reached through a junction, a link or a short name: run the script from .*O''Neil Zentrova, the path Windows opens'
            Dir = { $Junction }; World = { New-Spelled $Junction @{ '/' = '\Device\HarddiskVolume2' } } }
        @{ Name = 'a short name'; Says = 'ONEILZ~1 is reached through a junction, a link or a short name: run the script from .*O''Neil Zentrova,'
            Dir = { $Short }; World = { New-Spelled $Short } }
        @{ Name = 'a network drive'; Says = '\\\\server\\share\\Zentrova is on a network drive'
            World = { $w = New-World; $w.paths = @{ $Kit = 'UNC\server\share\Zentrova' }; $w } }
        @{ Name = 'a trailing dot'; Says = 'ends with a dot or a blank, which Windows strips from a path'; Dir = { New-Kit 'Zentrova.' }; World = { New-World } }
        @{ Name = 'a trailing blank'; Says = 'ends with a dot or a blank'; Dir = { New-Kit 'Zentrova ' }; World = { New-World } }
        @{ Name = 'brackets'; Says = 'has \[, \] or %, which PowerShell or Task Scheduler would read'; Dir = { New-Kit 'Zentrova [2]' }; World = { New-World } }
        @{ Name = 'a %'; Says = 'has \[, \] or %'; Dir = { New-Kit 'Zentrova %TEMP%' }; World = { New-World } }
    ) {
        $world = & $World
        $run = Invoke-Kit $world install @{ User = $Account; Password = 'right' } $(if ($Dir) { & $Dir } else { $Kit })
        $run.Output | Should -Match "$Says(.|\n)*Nothing was registered"
        $run.Status | Should -Be 1
        $run.After.registered | Should -BeNullOrEmpty
    }

    It 'status from a share that cannot tell the folder''s final path says so' {
        $w = New-World (New-Set $Kit 100) (New-Task $Kit)
        $w.paths = @{ $Kit = '!5' }
        $run = Invoke-Kit $w status
        $run.Output | Should -Match 'Could not tell which folder .*O''Neil Zentrova is \(.+\): run the script from the server''s folder on a local drive'
        $run.Status | Should -Be 4
    }

    It '<Verb> from <Name> acts on the folder''s task and set: <Says>' -ForEach @(
        @{ Verb = 'status'; Name = 'a subst drive'; Status = 0; Says = 'Running: the server runs under the watchdog'
            Dir = { $Subst }; Devices = @{ '/' = '\??\C:\Servers\Zentrova' } }
        @{ Verb = 'stop'; Name = 'a junction'; Status = 0; Says = 'Stopped: the task is disabled'; Ended = 100, 102, 103, 104
            Dir = { $Junction } }
        @{ Verb = 'restart'; Name = 'a short name'; Status = 0; Says = 'Started'; Ended = 100, 102, 103, 104; Dir = { $Short } }
    ) {
        $dir = & $Dir
        $run = Invoke-Kit (New-Spelled $dir $(if ($Devices) { $Devices } else { @{} })) $Verb -Dir $dir
        $run.Output | Should -Match $Says
        $run.Status | Should -Be $Status
        @($run.After.ended) | Should -Be @($Ended)
    }

    It 'finds a set started by hand through a short name' {
        $world = New-World (New-Set $Short 100 'hand', 'watchdog', 'shell', 'server')
        $world.paths = @{ $Short = $Kit }
        $run = Invoke-Kit $world stop
        $run.Status | Should -Be 0
        @($run.After.ended) | Should -Be 100, 102, 103, 104
    }
}

Describe 'stop, restart and remove' -Tag 'stop' {
    It '<Verb> <Name>: ends <Ended>, status <Status>' -ForEach @(
        @{ Verb = 'stop'; Name = 'a running set'; Ended = 100, 102, 103, 104; Status = 0; Says = 'Stopped: the task is disabled and nothing of .* runs'
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
        @{ Verb = 'stop'; Name = 'in the runner''s minute'; Ended = @(100); Status = 0; Says = 'Stopped'
            World = { New-World (New-Set $Kit 100 'runner') (New-Task $Kit) } }
        @{ Verb = 'stop'; Name = 'two sets and a stray server'; Ended = 100, 110, 102, 112, 103, 113, 104, 114, 124; Status = 0; Says = 'Stopped'
            World = { New-World ((New-Set $Kit 100) + (New-Set $Kit 110 'hand', 'watchdog', 'shell', 'server') + (New-Set $Kit 120 'server')[1]) (New-Task $Kit) } }
        @{ Verb = 'stop'; Name = '1.1.0''s set under its task'; Ended = 100, 101, 102, 103, 104; Status = 0
            Says = 'Disabled the task(.|\n)*Stopped(.|\n)*as 1.1.0 registered it: run install to convert it, once the new files are in place'
            World = { New-World (New-Set $Kit 100 'batch', 'ping', 'watchdog', 'shell', 'server') (New-Task $Kit -Old) } }
        @{ Verb = 'stop'; Name = '1.1.0''s batch file typed into a console, in its minute'; Ended = 115, 111; Status = 0; Says = 'No task runs this folder; nothing of it runs now'
            World = { New-World (New-Set $Kit 110 'again', 'ping') }; Left = 110 }
        @{ Verb = 'stop'; Name = '1.1.0''s batch file started by a console that stays (/k)'; Ended = 115, 111; Status = 0; Says = 'No task runs this folder; nothing of it runs now'
            World = { $w = New-World (New-Set $Kit 110 'again', 'ping'); $w.processes[0].CommandLine = "$Cmd /k `"$Kit\run-watchdog.cmd`""; $w }; Left = 110 }
        @{ Verb = 'stop'; Name = 'with nothing running'; Ended = @(); Status = 0; Says = 'Stopped'
            World = { New-World @() (New-Task $Kit -Result 0) } }
        @{ Verb = 'stop'; Name = 'a set started by hand, with no task'; Ended = 100, 102, 103, 104; Status = 0; Says = 'No task runs this folder; nothing of it runs now'
            World = { New-World (New-Set $Kit 100 'hand', 'watchdog', 'shell', 'server') } }
        @{ Verb = 'stop'; Name = 'beside an enabled task of another form'; Ended = 100, 102; Status = 1; Says = 'Nothing of .* runs now, but the task ''\\By hand'', left alone, may start it again'; OtherAfter = $true
            World = { New-World (New-Set $Kit 100 'hand', 'watchdog') (New-Task $Kit -Name '\By hand' -Action $Other) } }
        @{ Verb = 'stop'; Name = 'beside a disabled task of another form'; Ended = 100, 102, 103, 104; Status = 0; Says = 'Stopped: the task is disabled'; OtherAfter = $false
            World = { New-World (New-Set $Kit 100) ((New-Task $Kit), (New-Task $Kit -Name '\By hand' -Action $Other -State Disabled)) } }
        @{ Verb = 'stop'; Name = 'with ids reused or ended after the listing'; Ended = 100, 104; Status = 0; Says = 'Not ended: watchdog.exe 102 has ended; its id is another process''s now(.|\n)*Not ended: cmd.exe 103 has ended\.(.|\n)*Stopped'
            World = { $w = New-World (New-Set $Kit 100) (New-Task $Kit); $w.reuse = @(@{ becomes = (New-Process 'notepad.exe' 102 4 'C:\Windows\notepad.exe' 'notepad.exe' 5000 'SERVER\someone') }, @{ ends = 103 }); $w }
            Left = 102 }
        @{ Verb = 'stop'; Name = 'a server that outlives its end'; Ended = 100, 102, 103; Status = 1; Says = 'Still running in .*:\s+Zentrova.exe 104\s+Not stopped'
            World = { $w = New-World (New-Set $Kit 100) (New-Task $Kit); $w.processes[-1] | Add-Member Unkillable $true; $w }
            Left = 104 }
        @{ Verb = 'stop'; Name = 'a runner that this console cannot open'; Ended = 102, 103, 104; Status = 1
            Says = 'Not ended: this console cannot open run-watchdog.exe 100(.|\n)*Ended Zentrova.exe 104(.|\n)*Still running in .*:\s+run-watchdog.exe 100\s+Not stopped'
            World = { $w = New-World (New-Set $Kit 100) (New-Task $Kit); $w.processes[0] | Add-Member Unopenable $true; $w }
            Left = 100 }
        @{ Verb = 'restart'; Name = 'a running set'; Ended = 100, 102, 103, 104; Status = 0; Says = 'Stopped(.|\n)*is running(.|\n)*Started'; TaskAfter = $true; Running = $true
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
        @{ Verb = 'restart'; Name = 'beside a disabled task of another form'; Ended = 100, 102, 103, 104; Status = 0; Says = 'Started'; TaskAfter = $true; Running = $true; OtherAfter = $false
            World = { New-World (New-Set $Kit 100) ((New-Task $Kit), (New-Task $Kit -Name '\By hand' -Action $Other -State Disabled)) } }
        @{ Verb = 'remove'; Name = 'a running set'; Ended = 100, 102, 103, 104; Status = 0; Says = 'Removed the task ''\\Zentrova watchdog''; watchdog.log stays'; Removed = $true
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
        @{ Verb = 'remove'; Name = 'beside a disabled task of another form'; Ended = 100, 102, 103, 104; Status = 0; Says = 'Removed the task'; Removed = $true; OtherAfter = $false
            World = { New-World (New-Set $Kit 100) ((New-Task $Kit), (New-Task $Kit -Name '\By hand' -Action $Other -State Disabled)) } }
    ) {
        $run = Invoke-Kit (& $World) $Verb
        $run.Output | Should -Match '(?m)^The server is ended at once, as by a crash'
        $run.Output | Should -Match $Says
        $run.Status | Should -Be $Status
        @($run.After.ended) | Should -Be @($Ended)
        @($run.After.processes | Where-Object { $_.ProcessId -lt 9000 } | ForEach-Object ProcessId) | Should -Be @($Left)
        $task = Get-Task $run
        if ($Removed) { $task | Should -BeNullOrEmpty } elseif ($task) { $task.Enabled | Should -Be ([bool]$TaskAfter) }
        if ($null -ne $OtherAfter) { (Get-Task $run '\By hand').Enabled | Should -Be $OtherAfter }
        if ($Running) { @($run.After.processes).Count | Should -Be 4 }
    }
}

Describe 'install and start' -Tag 'install' {
    It 'registers the folder''s task as its runner, at boot, at normal priority, with no time limit' {
        $run = Invoke-Kit (New-World) install @{ User = $Account; Password = 'right' }
        $run.Output | Should -Match "Registered the task '\\Zentrova watchdog O'Neil Zentrova' for .*, as SERVER\\zentrova, enabled: it starts at boot"
        $run.Status | Should -Be 0
        $task = $run.After.tasks
        $task.Actions | Should -HaveCount 1
        "$($task.Actions[0].Type)|$($task.Actions[0].Path)|$($task.Actions[0].Arguments)|$($task.Actions[0].WorkingDirectory)" | Should -Be "0|`"$Kit\run-watchdog.exe`"||$Kit"
        $task.UserId | Should -Be $Account
        "$($task.Triggers.Type) $($task.Triggers.Enabled)" | Should -Be '8 True'
        $s = $task.Settings
        "$($s.Enabled) $($s.Priority) $($s.ExecutionTimeLimit) $($s.MultipleInstances) $($s.DisallowStartIfOnBatteries) $($s.StopIfGoingOnBatteries)" |
            Should -Be 'True 4 PT0S 2 False False'
        (Invoke-Kit $run.After status).Output | Should -Match 'Installed, never run'
    }

    It 'install again <Name>: <Says>' -ForEach @(
        @{ Name = 'keeps a stopped task stopped'; State = 'Disabled'; Options = @{}; Says = 'Registered the task ''\\Zentrova watchdog'' .*disabled, as it was'; After = $false; Sets = 0 }
        @{ Name = 'with -Start starts a stopped task'; State = 'Disabled'; Options = @{ Start = $true }; Says = 'Started'; After = $true; Sets = 1 }
        @{ Name = 'keeps the name of a task that the earlier guide made'; State = 'Ready'; Options = @{}; Says = '''\\Zentrova watchdog'' for'; After = $true; Sets = 0 }
        @{ Name = 'converts 1.1.0''s stopped task in its folder'; State = 'Disabled'; Old = $true; Name2 = '\Servers\Zentrova'; Options = @{}; Says = 'Converted the task ''\\Servers\\Zentrova'' .*disabled, as it was'; After = $false; Sets = 0 }
        @{ Name = 'converts 1.1.0''s enabled task'; State = 'Ready'; Old = $true; Options = @{}; Says = 'Converted the task ''\\Zentrova watchdog'' .*enabled: it starts at boot'; After = $true; Sets = 0 }
    ) {
        $name = if ($Name2) { $Name2 } else { '\Zentrova watchdog' }
        $run = Invoke-Kit (New-World @() (New-Task $Kit -State $State -Result 0 -Name $name -Old:([bool]$Old))) install ($Options + @{ User = $Account; Password = 'right' })
        $run.Output | Should -Match $Says
        $run.Status | Should -Be 0
        $run.After.registered | Should -Be $name
        $task = Get-Task $run $name
        $task.Enabled | Should -Be $After
        "$($task.Actions[0].Path)|$($task.Actions[0].Arguments)" | Should -Be "`"$Kit\run-watchdog.exe`"|"
        @($run.After.processes | Where-Object Name -eq 'watchdog.exe') | Should -HaveCount $Sets
    }

    It 'install passes over a task and a task folder that cannot be read, and registers' {
        $world = New-World @() (New-Task $Kit2 -Name '\Broken')
        $world.unreadable = @('\Broken')
        $world.folders = @('\Locked')
        $world.fail = @(@{ call = 'GetTasks'; path = '\Locked'; hresult = 0x80070005 })
        $run = Invoke-Kit $world install @{ User = $Account; Password = 'right' }
        $run.Output | Should -Match 'Passed over, unreadable: the task ''\\Broken''(.|\n)*Passed over, unreadable: the task folder ''\\Locked'': .*Access is denied(.|\n)*Registered'
        $run.Status | Should -Be 0
    }

    It 'start <Name>: <Says>, status <Status>' -ForEach @(
        @{ Name = 'a stopped task'; Status = 0; Says = 'Enabled the task(.|\n)*is running(.|\n)*Started'; World = { New-World @() (New-Task $Kit -State Disabled -Result 0) } }
        @{ Name = 'a running one'; Status = 0; Says = 'Already running: nothing was started'; World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
        @{ Name = 'an account that cannot log on'; Status = 1; Says = 'Not started \(0x8007052E\): the account could not log on: unknown user name'
            World = { $w = New-World @() (New-Task $Kit -Result 0); $w | Add-Member logonFailure 0x8007052E; $w } }
        @{ Name = 'that Task Scheduler runs a moment later'; Status = 0; Says = 'is running(.|\n)*Started'
            World = { $w = New-World @() (New-Task $Kit -Result 0); $w | Add-Member startLag 2; $w } }
        @{ Name = 'that a moment later cannot log on'; Status = 1; Says = 'its last result is 0x80070532(.|\n)*Not started \(0x80070532\): the account could not log on: its password has expired'
            World = { $w = New-World @() (New-Task $Kit -Result 0); $w | Add-Member startLag 2; $w | Add-Member logonFailure 0x80070532; $w } }
        @{ Name = 'that Task Scheduler never gets to'; Status = 1; Says = 'Not started within 10 s: the task is still as it was before \(its last result, of an earlier run, is 0x00000000\)'
            World = { $w = New-World @() (New-Task $Kit -Result 0); $w | Add-Member startLag 1000; $w } }
    ) {
        $run = Invoke-Kit (& $World) start
        $run.Output | Should -Match $Says
        $run.Status | Should -Be $Status
        @($run.After.processes | Where-Object Name -eq 'watchdog.exe') | Should -HaveCount $(if ($Status -eq 0) { 1 } else { 0 })
    }
}

# Every Task Scheduler call that fails stops the verb, with its message, what
# was done before it, and the verb's status.
Describe 'Task Scheduler failing' -Tag 'failures' {
    It '<Verb>, <Call> failing: <Says>' -ForEach @(
        @{ Verb = 'status'; Call = 'Connect'; Status = 4; Says = 'status failed: Could not reach Task Scheduler: Access is denied\. \(Exception from HRESULT: 0x80070005\) Nothing was changed\.' }
        @{ Verb = 'status'; Call = 'GetFolder'; Status = 4; Says = 'status failed: Could not read the task folder ''\\'': Access is denied\. .* Nothing was changed\.' }
        @{ Verb = 'status'; Call = 'GetTasks'; Status = 4; Says = 'status failed: Could not read the task folder ''\\'': Access is denied\. .* Nothing was changed\.' }
        @{ Verb = 'install'; Call = 'NewTask'; Status = 1; Says = 'install failed: Could not register the task ''\\Zentrova watchdog O''Neil Zentrova'': Access is denied\. .* Nothing was changed\.'; World = { New-World } }
        @{ Verb = 'install'; Call = 'RegisterTaskDefinition'; Status = 1; Says = 'install failed: Could not register the task ''\\Zentrova watchdog O''Neil Zentrova'': Access is denied\. .* Nothing was changed\.'; World = { New-World } }
        @{ Verb = 'install'; Call = 'Run'; Status = 1; Start = $true; Says = 'Registered the task(.|\n)*install failed: Could not run the task ''\\Zentrova watchdog O''Neil Zentrova'': Access is denied\. .* Done before it: registered the task ''\\Zentrova watchdog O''Neil Zentrova''\.'; World = { New-World } }
        @{ Verb = 'start'; Call = 'Enabled'; Status = 1; Says = 'start failed: Could not enable the task ''\\Zentrova watchdog'': Access is denied\. .* Nothing was changed\.'; World = { New-World @() (New-Task $Kit -State Disabled) } }
        @{ Verb = 'start'; Call = 'Run'; Status = 1; Says = 'start failed: Could not run the task ''\\Zentrova watchdog'': Access is denied\. .* Done before it: enabled the task ''\\Zentrova watchdog''\.'; World = { New-World @() (New-Task $Kit -State Disabled) } }
        @{ Verb = 'stop'; Call = 'Enabled'; Status = 1; Says = 'stop failed: Could not disable the task ''\\Zentrova watchdog'': Access is denied\. .* Nothing was changed\.' }
        @{ Verb = 'restart'; Call = 'Run'; Status = 1; Ended = 100, 102, 103, 104
            Says = 'restart failed: Could not run the task ''\\Zentrova watchdog'': .* Done before it: disabled the task ''\\Zentrova watchdog''; ended run-watchdog.exe 100; ended watchdog.exe 102; ended cmd.exe 103; ended Zentrova.exe 104; enabled the task ''\\Zentrova watchdog''\.' }
        @{ Verb = 'remove'; Call = 'DeleteTask'; Status = 1; Ended = 100, 102, 103, 104
            Says = 'remove failed: Could not remove the task ''\\Zentrova watchdog'': .* Done before it: disabled the task ''\\Zentrova watchdog''; ended run-watchdog.exe 100; .*ended Zentrova.exe 104\.' }
    ) {
        $world = if ($World) { & $World } else { New-World (New-Set $Kit 100) (New-Task $Kit) }
        $world.fail = @(@{ call = $Call; hresult = 0x80070005 })
        $options = @{}
        if ($Verb -eq 'install') { $options = @{ User = $Account; Password = 'right'; Start = [bool]$Start } }
        $run = Invoke-Kit $world $Verb $options
        $run.Output | Should -Match $Says
        $run.Status | Should -Be $Status
        @($run.After.ended) | Should -Be @($Ended)
        $run.After.deleted | Should -BeNullOrEmpty
    }
}

# An operator's profile may set $ErrorActionPreference = 'Stop' for the
# whole console: the script does the same under it as under the defaults.
Describe 'under a profile that sets Stop' -Tag 'profile' {
    It '<Verb> <Name> as under the defaults' -ForEach @(
        @{ Verb = 'status'; Name = 'running'; World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
        @{ Verb = 'status'; Name = 'not elevated, hidden'; World = { New-World (New-Set $Kit 100) (New-Task $Kit) -Elevated $false } }
        @{ Verb = 'stop'; Name = 'with ids reused or ended after the listing'
            World = { $w = New-World (New-Set $Kit 100) (New-Task $Kit); $w.reuse = @(@{ becomes = (New-Process 'notepad.exe' 102 4 'C:\Windows\notepad.exe' 'notepad.exe' 5000) }, @{ ends = 103 }); $w } }
        @{ Verb = 'stop'; Name = 'a runner that cannot be opened'; World = { $w = New-World (New-Set $Kit 100) (New-Task $Kit); $w.processes[0] | Add-Member Unopenable $true; $w } }
        @{ Verb = 'install'; Name = 'over 1.1.0''s task'; Options = @{ User = $Account; Password = 'right'; Start = $true }; World = { New-World @() (New-Task $Kit -Old -State Disabled) } }
        @{ Verb = 'start'; Name = 'a moment later'; World = { $w = New-World @() (New-Task $Kit -State Disabled -Result 0); $w | Add-Member startLag 2; $w } }
        @{ Verb = 'restart'; Name = 'with Run failing'; World = { $w = New-World (New-Set $Kit 100) (New-Task $Kit); $w.fail = @(@{ call = 'Run'; hresult = 0x80070005 }); $w } }
        @{ Verb = 'remove'; Name = 'a running set'; World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
    ) {
        $options = if ($Options) { $Options } else { @{} }
        $default = Invoke-Kit (& $World) $Verb $options
        $stop = Invoke-Kit (& $World) $Verb $options -StopProfile
        $stop.Output | Should -Be $default.Output
        $stop.Status | Should -Be $default.Status
        ($stop.After | ConvertTo-Json -Depth 10) | Should -Be ($default.After | ConvertTo-Json -Depth 10)
    }
}

Describe 'two servers on one host' -Tag 'hosts' {
    BeforeAll {
        $both = New-World ((New-Set $Kit 100) + (New-Set $Kit2 200)) ((New-Task $Kit), (New-Task $Kit2 -Name '\Zentrova 2'))
    }

    It 'the stop of one ends none of the other''s, nor its task, even where an id of one is reused by the other' {
        $both.reuse = @(@{ becomes = (New-Process 'watchdog.exe' 102 200 "$Kit2\watchdog.exe" 'watchdog.exe' 9000) })
        $run = Invoke-Kit $both stop
        $run.Status | Should -Be 0
        @($run.After.ended) | Should -Be 100, 103, 104
        (Get-Task $run '\Zentrova 2').Enabled | Should -BeTrue
        @($run.After.processes | ForEach-Object ProcessId) | Should -Be 200, 202, 203, 204, 102
        (Invoke-Kit $run.After status -Dir $Kit2).Output | Should -Match 'Two sets run in this folder'
    }

    It 'each status sees its own set only' {
        $both.reuse = @()
        (Invoke-Kit $both status -Dir $Kit2).Status | Should -Be 0
        $run = Invoke-Kit (New-World (New-Set $Kit2 200) ((New-Task $Kit -State Disabled -Result 0), (New-Task $Kit2 -Name '\Zentrova 2'))) status
        $run.Output | Should -Match 'Stopped: the task is disabled and nothing of this folder runs'
        $run.Status | Should -Be 3
    }
}

Describe 'what the kit needs of Windows PowerShell' -Tag 'floor' {
    BeforeAll {
        $script = Join-Path $Deploy 'watchdog-task.ps1'
        $tokens = $errors = $null
        $tree = [System.Management.Automation.Language.Parser]::ParseFile($script, [ref] $tokens, [ref] $errors)
        function Find-Syntax([scriptblock] $Test) { @($tree.FindAll($Test, $true) | ForEach-Object { "line $($_.Extent.StartLineNumber): $($_.Extent.Text)" }) }
    }

    It 'parses, states its floor (#Requires -Version 3.0), and has help that Get-Help shows' {
        $errors | Should -BeNullOrEmpty
        $tree.ScriptRequirements.RequiredPSVersion | Should -Be ([version]'3.0')
        (Get-Help $script -Full | Out-String) | Should -Match 'Exit status of status(.|\n)*-Credential'
    }

    # The tests run a stand-in for kernel32: the script's own declarations
    # are compiled here, as Add-Type compiles them on Windows.
    It 'declares kernel32''s functions in C# that compiles' {
        $declarations = $tree.Find({ $args[0] -is [System.Management.Automation.Language.AssignmentStatementAst] -and "$($args[0].Left)" -eq '$Win32' }, $true).Right.Expression.Value
        { Add-Type -Namespace KitFloor -Name "Win32$PID" -MemberDefinition $declarations } | Should -Not -Throw
        ([type]"KitFloor.Win32$PID").GetMethods().Name | Should -Contain 'GetFinalPathNameByHandleW'
    }

    # What PowerShell 7, 5.0 and 4.0 added, which Windows PowerShell 3.0 cannot parse or run.
    It 'uses nothing newer than PowerShell 3.0: <Name>' -ForEach @(
        @{ Name = 'the ternary operator'; Test = { $args[0] -is [System.Management.Automation.Language.TernaryExpressionAst] } }
        @{ Name = 'pipeline chains && and ||'; Test = { $args[0] -is [System.Management.Automation.Language.PipelineChainAst] } }
        @{ Name = '?? and ??='; Test = { $args[0].PSObject.Properties['Operator'] -and "$($args[0].Operator)" -in 'QuestionQuestion', 'QuestionQuestionEquals' } }
        @{ Name = '?. and ?[]'; Test = { $args[0].PSObject.Properties['NullConditional'] -and $args[0].NullConditional } }
        @{ Name = 'classes and enums'; Test = { $args[0] -is [System.Management.Automation.Language.TypeDefinitionAst] } }
        @{ Name = 'using'; Test = { $args[0] -is [System.Management.Automation.Language.UsingStatementAst] } }
        @{ Name = '::new()'; Test = { $args[0] -is [System.Management.Automation.Language.InvokeMemberExpressionAst] -and $args[0].Static -and "$($args[0].Member)" -eq 'new' } }
        @{ Name = '.ForEach() and .Where()'; Test = { $args[0] -is [System.Management.Automation.Language.InvokeMemberExpressionAst] -and "$($args[0].Member)" -in 'ForEach', 'Where' } }
        @{ Name = 'configurations and dynamic keywords'; Test = { $args[0] -is [System.Management.Automation.Language.DynamicKeywordStatementAst] -or $args[0] -is [System.Management.Automation.Language.ConfigurationDefinitionAst] } }
        @{ Name = '-PipelineVariable'; Test = { $args[0] -is [System.Management.Automation.Language.CommandParameterAst] -and $args[0].ParameterName -in 'PipelineVariable', 'pv' } }
    ) {
        Find-Syntax $Test | Should -BeNullOrEmpty
    }

    It 'is ASCII with CRLF line ends, as Windows PowerShell reads it' {
        $bytes = [IO.File]::ReadAllBytes((Join-Path $Deploy 'watchdog-task.ps1'))
        @($bytes | Where-Object { $_ -gt 127 }) | Should -BeNullOrEmpty
        $text = [Text.Encoding]::ASCII.GetString($bytes)
        $text | Should -Match "`r`n$"
        ($text -replace "`r`n") | Should -Not -Match "[`r`n]"
    }
}
