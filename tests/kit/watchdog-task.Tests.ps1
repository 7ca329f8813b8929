# watchdog-task.ps1 as it ships, run as an operator runs it, on a fake of the
# Windows it touches, in every state of a folder: what it says, what it ends
# and changes, and the exit status that the operator's shell sees.

BeforeAll {
    $Deploy = Join-Path $PSScriptRoot '../../deploy'
    $Runner = Join-Path $PSScriptRoot 'Invoke-AsOperator.ps1'
    $Pwsh = $env:PWSH
    $Cmd = 'C:\Windows\System32\cmd.exe'
    $Account = 'SERVER\zentrova'
    $T0 = [datetime]'2026-12-10T08:00:00'
    $env:SystemRoot = 'C:\Windows'
    $env:PATH = (Join-Path $PSScriptRoot 'bin') + [IO.Path]::PathSeparator + $env:PATH

    # A server's folder as the operator unpacks the kit into it.
    function New-Kit([string] $Name, [string[]] $Without = @()) {
        $dir = Join-Path $TestDrive $Name
        $null = New-Item -ItemType Directory $dir -Force
        Copy-Item -LiteralPath (Join-Path $Deploy 'watchdog-task.ps1'), (Join-Path $Deploy 'run-watchdog.cmd') -Destination $dir
        foreach ($file in 'watchdog.exe', 'Zentrova.exe') { if ($Without -notcontains $file) { Set-Content -LiteralPath (Join-Path $dir $file) '' } }
        foreach ($file in $Without) { Remove-Item -LiteralPath (Join-Path $dir $file) -ErrorAction Ignore }
        $dir
    }

    function Get-ActionArguments([string] $Dir) { '/d /c ""{0}\run-watchdog.cmd" >> "{0}\watchdog.log" 2>&1"' -f $Dir }

    function New-Process([string] $Name, [int] $Id, [int] $Parent, [string] $Path, [string] $Line, [int] $AtMs, [string] $Owner = $Account) {
        [pscustomobject]@{
            Name = $Name; ProcessId = $Id; ParentProcessId = $Parent; ExecutablePath = $Path; CommandLine = $Line
            CreationDate = $T0.AddMilliseconds($AtMs).ToString('o'); Owner = $Owner
        }
    }

    # One set of a folder, ids from $Base: the task's batch file (or one
    # double-clicked, or none: a watchdog started from a console), with the
    # copy that one typed into a console starts of itself, its ping, the
    # watchdog, its cmd.exe and the server. A server without its cmd.exe has
    # a parent that has ended.
    function New-Set([string] $Dir, [int] $Base, [string[]] $Parts = @('batch', 'watchdog', 'shell', 'server')) {
        $batch = if ($Parts -contains 'batch') { "$Cmd $(Get-ActionArguments $Dir)" } elseif ($Parts -contains 'hand') { "$Cmd /c `"`"$Dir\run-watchdog.cmd`" `"" }
        if ($batch) { New-Process 'cmd.exe' $Base 4 $Cmd $batch 0 } else { New-Process 'cmd.exe' $Base 4 $Cmd "`"$Cmd`"" 0 }
        $runs = $Base
        if ($Parts -contains 'again') { $runs = $Base + 5; New-Process 'cmd.exe' $runs $Base $Cmd "$Cmd /d /c `"`"$Dir\run-watchdog.cmd`" `"" 50 }
        if ($Parts -contains 'ping') { New-Process 'ping.exe' ($Base + 1) $runs 'C:\Windows\System32\ping.exe' 'ping.exe -n 61 127.0.0.1' 500 }
        if ($Parts -contains 'watchdog') { New-Process 'watchdog.exe' ($Base + 2) $runs "$Dir\watchdog.exe" "`"$Dir\watchdog.exe`"" 100 }
        if ($Parts -contains 'shell') { New-Process 'cmd.exe' ($Base + 3) ($Base + 2) $Cmd 'cmd.exe /c Zentrova.exe' 200 }
        if ($Parts -contains 'server') { New-Process 'Zentrova.exe' ($Base + 4) ($Base + 3) "$Dir\Zentrova.exe" 'Zentrova.exe' 300 }
    }

    function New-Task([string] $Dir, [string] $State = 'Ready', [int64] $Result = 0x41301, [string] $Name = 'Zentrova watchdog') {
        [pscustomobject]@{
            TaskName = $Name; TaskPath = '\'; State = $State; UserId = $Account; LastTaskResult = $Result
            Actions = @([pscustomobject]@{ Execute = $Cmd; Arguments = (Get-ActionArguments $Dir); WorkingDirectory = $Dir })
        }
    }

    function New-World([object[]] $Processes = @(), [object[]] $Tasks = @(), [bool] $Elevated = $true) {
        [pscustomobject]@{
            elevated = $Elevated; processes = @($Processes | Where-Object { $_ }); tasks = @($Tasks)
            passwords = @{ $Account = 'right' }; disks = @(); reuse = @(); ended = @(); registered = @()
        }
    }

    function Invoke-Kit($World, [string] $Verb, [hashtable] $Options = @{}, [string] $Dir = $Kit) {
        $json = Join-Path $TestDrive 'windows.json'
        $World | ConvertTo-Json -Depth 8 | Set-Content -LiteralPath $json
        $level = if ($World.elevated) { 'High', '12288' } else { 'Medium', '8192' }
        Set-Content -LiteralPath "$json.groups" @(
            '"Everyone","Well-known group","S-1-1-0","Mandatory group, Enabled by default, Enabled group"'
            "`"Mandatory Label\$($level[0]) Mandatory Level`",`"Label`",`"S-1-16-$($level[1])`",`"`"")
        Remove-Item -LiteralPath "$json.whoami" -ErrorAction Ignore
        $env:FAKE_WINDOWS = $json
        $named = @()
        foreach ($key in $Options.Keys) { $named += "-$key"; if ($Options[$key] -isnot [bool]) { $named += $Options[$key] } }
        $output = & $Pwsh -NoProfile -NonInteractive -File $Runner (Join-Path $Dir 'watchdog-task.ps1') $Verb @named 2>&1
        [pscustomobject]@{
            Output = ($output | Out-String); Status = $LASTEXITCODE
            After = (Get-Content -Raw -LiteralPath $json | ConvertFrom-Json)
            Whoami = @(Get-Content -LiteralPath "$json.whoami" -ErrorAction Ignore)
        }
    }

    $Kit = New-Kit "O'Neil Zentrova"
    # A second server whose folder's name begins with the first one's.
    $Kit2 = New-Kit "O'Neil Zentrova2"
}

Describe 'status' -Tag 'status' {
    It '<Name>: <Says>, status <Status>' -ForEach @(
        @{ Name = 'running'; Status = 0; Says = 'Running: the server runs under the watchdog'
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
        @{ Name = 'the 3-second pause'; Status = 0; Says = '3-second pause'
            World = { New-World (New-Set $Kit 100 'batch', 'watchdog') (New-Task $Kit) } }
        @{ Name = 'the batch file''s minute'; Status = 0; Says = 'the batch file waits a minute'
            World = { New-World (New-Set $Kit 100 'batch', 'ping') (New-Task $Kit) } }
        @{ Name = 'installed, never run'; Status = 3; Says = 'Installed, never run: run start'
            World = { New-World @() (New-Task $Kit -Result 0x41303) } }
        @{ Name = 'ended after 4919'; Status = 3; Says = 'Ended: the server asked to stay stopped \(exit code 4919\)'
            World = { New-World @() (New-Task $Kit -Result 0) } }
        @{ Name = 'ended otherwise'; Status = 3; Says = 'Ended with result 0xC000013A \(3221225786\)'
            World = { New-World @() (New-Task $Kit -Result 0xC000013A) } }
        @{ Name = 'could not log on'; Status = 3; Says = 'Could not start: the account could not log on \(0x8007052E\): unknown user name or bad password'
            World = { New-World @() (New-Task $Kit -Result 0x8007052E) } }
        @{ Name = 'without the batch logon right'; Status = 3; Says = '\(0x80070569\): the account lacks the right "Log on as a batch job"'
            World = { New-World @() (New-Task $Kit -Result 0x80070569) } }
        @{ Name = 'stopped'; Status = 3; Says = 'Stopped: the task is disabled and nothing of this folder runs'
            World = { New-World @() (New-Task $Kit -State Disabled -Result 1) } }
        @{ Name = 'disabled, with processes running'; Status = 1; Says = 'Disabled, yet this folder''s programs run: run stop'
            World = { New-World (New-Set $Kit 100 'batch', 'watchdog') (New-Task $Kit -State Disabled) } }
        @{ Name = 'not installed'; Status = 3; Says = 'Not installed: run install'
            World = { New-World (New-Set $Kit2 200) (New-Task $Kit2) } }
        @{ Name = 'not installed, started by hand'; Status = 1; Says = 'Not installed, yet this folder''s programs run'
            World = { New-World (New-Set $Kit 100 'hand', 'watchdog', 'shell', 'server') } }
        @{ Name = 'two sets'; Status = 1; Says = 'Two sets run in this folder'
            World = { New-World ((New-Set $Kit 100) + (New-Set $Kit 110)) (New-Task $Kit) } }
        @{ Name = 'a server without a watchdog'; Status = 1; Says = 'A server runs without a watchdog: Zentrova.exe 114'
            World = { New-World ((New-Set $Kit 100 'batch', 'watchdog') + (New-Set $Kit 110 'server')[1]) (New-Task $Kit) } }
        @{ Name = 'the batch file started by hand'; Status = 1; Says = 'Started by hand, not by the task: cmd.exe 110, watchdog.exe 112'
            World = { New-World ((New-Set $Kit 100 'batch', 'ping') + (New-Set $Kit 110 'hand', 'watchdog', 'shell', 'server')) (New-Task $Kit) } }
        @{ Name = 'the batch file typed into a console, in its minute'; Status = 1; Says = 'Started by hand, not by the task: cmd.exe 115'
            World = { New-World ((New-Set $Kit 100 'batch', 'watchdog') + (New-Set $Kit 110 'again', 'ping')) (New-Task $Kit) } }
        @{ Name = 'the task''s batch file started again of itself'; Status = 0; Says = 'Running: the server runs under the watchdog'
            World = { New-World (New-Set $Kit 100 'batch', 'again', 'watchdog', 'shell', 'server') (New-Task $Kit) } }
        @{ Name = 'a watchdog started in a console'; Status = 1; Says = 'Started by hand, not by the task: watchdog.exe 112'
            World = { New-World (New-Set $Kit 110 'watchdog', 'shell', 'server') (New-Task $Kit) } }
        @{ Name = 'not elevated, the task''s account hidden'; Status = 4; Says = 'Not elevated: these cannot be told apart(.|\n)*watchdog.exe 102(.|\n)*Could not tell'
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) -Elevated $false } }
        @{ Name = 'not elevated, nothing hidden'; Status = 0; Says = 'none of this folder''s names is hidden(.|\n)*Running'
            World = { New-World (New-Set $Kit 100 | ForEach-Object { $_.Owner = $null; $_ }) (New-Task $Kit) -Elevated $false } }
        @{ Name = 'not elevated, no task visible'; Status = 4; Says = 'No task of this folder is visible, and this console is not elevated'
            World = { New-World -Elevated $false } }
        @{ Name = 'two tasks of the folder'; Status = 1; Says = '2 tasks run this folder'
            World = { New-World @() ((New-Task $Kit), (New-Task $Kit -Name 'Zentrova again')) } }
        @{ Name = 'a task of another form'; Status = 3; Says = 'Left alone: the task ''\\By hand'' names this folder''s files(.|\n)*Not installed'
            World = { $t = New-Task $Kit -Name 'By hand'; $t.Actions[0].Execute = "$Kit\run-watchdog.cmd"; $t.Actions[0].Arguments = ''; New-World @() $t } }
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
        @{ Verb = 'status'; Name = 'without Task Scheduler''s cmdlets'; Status = 4; Says = 'Task Scheduler''s cmdlets .* are missing'
            World = { $w = New-World; $w | Add-Member noTaskCmdlets $true; $w } }
        @{ Verb = 'stop'; Name = 'without Task Scheduler''s cmdlets'; Status = 1; Says = 'Task Scheduler''s cmdlets .* are missing'
            World = { $w = New-World (New-Set $Kit 100); $w | Add-Member noTaskCmdlets $true; $w } }
        @{ Verb = 'install'; Name = 'beside no Zentrova.exe'; Status = 1; Says = 'There is no Zentrova.exe in .*Nothing was registered'
            Dir = { New-Kit 'unpacked' -Without 'Zentrova.exe' }; World = { New-World } }
        @{ Verb = 'install'; Name = 'in a folder with %'; Status = 1; Says = 'has a %, which cmd.exe would read'
            Dir = { New-Kit 'Zentrova %TEMP%' }; World = { New-World } }
        @{ Verb = 'install'; Name = 'on a network drive'; Status = 1; Says = 'is on a network drive'
            World = { $w = New-World; $w.disks = @([pscustomobject]@{ DeviceID = [IO.Path]::GetPathRoot($Kit).TrimEnd('\'); DriveType = 4 }); $w } }
        @{ Verb = 'install'; Name = 'for a second task'; Status = 1; Says = 'This folder''s task is ''\\Zentrova watchdog'' already'
            Options = @{ TaskName = 'Another'; User = 'SERVER\zentrova'; Password = 'right' }; World = { New-World @() (New-Task $Kit) } }
        @{ Verb = 'install'; Name = 'under another folder''s task name'; Status = 1; Says = 'belongs to another folder'
            Options = @{ TaskName = 'Zentrova watchdog'; User = 'SERVER\zentrova'; Password = 'right' }; World = { New-World @() (New-Task $Kit2) } }
        @{ Verb = 'install'; Name = 'without an account under -NonInteractive'; Status = 1; Says = 'No account given, and -NonInteractive asks for none: give -Credential'
            World = { New-World } }
        @{ Verb = 'install'; Name = 'with a wrong password'; Status = 1; Says = 'install failed: The user name or password is incorrect.*Nothing was changed'
            Options = @{ User = 'SERVER\zentrova'; Password = 'wrong' }; World = { New-World } }
        @{ Verb = 'start'; Name = 'without a task'; Status = 1; Says = 'No task runs this folder: run install'; World = { New-World } }
        @{ Verb = 'start'; Name = 'beside a server without a watchdog'; Status = 1; Says = 'run outside the task .*run restart. Nothing was started'
            World = { New-World (New-Set $Kit 110 'server')[1] (New-Task $Kit) } }
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

Describe 'stop, restart and remove' -Tag 'stop' {
    It '<Verb> <Name>: ends <Ended>, status <Status>' -ForEach @(
        @{ Verb = 'stop'; Name = 'a running set'; Ended = 100, 102, 103, 104; Status = 0; Says = 'Stopped: the task is disabled and nothing of .* runs'
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
        @{ Verb = 'stop'; Name = 'in the batch file''s minute'; Ended = 100, 101; Status = 0; Says = 'Stopped'
            World = { New-World (New-Set $Kit 100 'batch', 'ping') (New-Task $Kit) } }
        @{ Verb = 'stop'; Name = 'two sets and a stray server'; Ended = 100, 110, 102, 112, 103, 113, 104, 114, 124; Status = 0; Says = 'Stopped'
            World = { New-World ((New-Set $Kit 100) + (New-Set $Kit 110 'hand', 'watchdog', 'shell', 'server') + (New-Set $Kit 120 'server')[1]) (New-Task $Kit) } }
        @{ Verb = 'stop'; Name = 'a batch file typed into a console, in its minute'; Ended = 115, 111; Status = 0; Says = 'No task runs this folder; nothing of it runs now'
            World = { New-World (New-Set $Kit 110 'again', 'ping') }; Left = 110 }
        @{ Verb = 'stop'; Name = 'a batch file started by a console that stays (/k)'; Ended = 115, 111; Status = 0; Says = 'No task runs this folder; nothing of it runs now'
            World = { $w = New-World (New-Set $Kit 110 'again', 'ping'); $w.processes[0].CommandLine = "$Cmd /k `"$Kit\run-watchdog.cmd`""; $w }; Left = 110 }
        @{ Verb = 'stop'; Name = 'with nothing running'; Ended = @(); Status = 0; Says = 'Stopped'
            World = { New-World @() (New-Task $Kit -Result 0) } }
        @{ Verb = 'stop'; Name = 'a set started by hand, with no task'; Ended = 110, 112, 113, 114; Status = 0; Says = 'No task runs this folder; nothing of it runs now'
            World = { New-World (New-Set $Kit 110 'hand', 'watchdog', 'shell', 'server') } }
        @{ Verb = 'stop'; Name = 'beside a task of another form'; Ended = 110, 112; Status = 1; Says = 'Nothing of .* runs now, but the task ''\\By hand'', left alone, may start it again'; TaskAfter = 'Ready'
            World = { $t = New-Task $Kit -Name 'By hand'; $t.Actions[0].Execute = "$Kit\run-watchdog.cmd"; $t.Actions[0].Arguments = ''; New-World (New-Set $Kit 110 'hand', 'watchdog') $t } }
        @{ Verb = 'stop'; Name = 'with ids reused after the listing'; Ended = 100, 103, 104; Status = 0; Says = 'Not ended: watchdog.exe 102 has ended(.|\n)*Stopped'
            World = { $w = New-World (New-Set $Kit 100) (New-Task $Kit); $w.reuse = @(@{ becomes = (New-Process 'notepad.exe' 102 4 'C:\Windows\notepad.exe' 'notepad.exe' 5000 'SERVER\someone') }); $w }
            Left = 102 }
        @{ Verb = 'stop'; Name = 'a server that outlives its end'; Ended = 100, 102, 103; Status = 1; Says = 'Still running in .*:\s+Zentrova.exe 104\s+Not stopped'
            World = { $w = New-World (New-Set $Kit 100) (New-Task $Kit); $w.processes[-1] | Add-Member Unkillable $true; $w }
            Left = 104 }
        @{ Verb = 'restart'; Name = 'a running set'; Ended = 100, 102, 103, 104; Status = 0; Says = 'Stopped(.|\n)*is Running(.|\n)*Started'; TaskAfter = 'Ready'; Running = $true
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
        @{ Verb = 'remove'; Name = 'a running set'; Ended = 100, 102, 103, 104; Status = 0; Says = 'Removed the task ''\\Zentrova watchdog''; watchdog.log stays'; Removed = $true
            World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
    ) {
        $run = Invoke-Kit (& $World) $Verb
        $run.Output | Should -Match '(?m)^The server is ended at once, as by a crash'
        $run.Output | Should -Match $Says
        $run.Status | Should -Be $Status
        @($run.After.ended) | Should -Be @($Ended)
        @($run.After.processes | Where-Object { $_.ProcessId -lt 9000 } | ForEach-Object ProcessId) | Should -Be @($Left)
        if ($Removed) { $run.After.tasks | Should -BeNullOrEmpty }
        elseif (@($run.After.tasks).Count) { $run.After.tasks.State | Should -Be $(if ($TaskAfter) { $TaskAfter } else { 'Disabled' }) }
        if ($Running) { @($run.After.processes).Count | Should -Be 4 }
    }
}

Describe 'install and start' -Tag 'install' {
    It 'registers the folder''s task as the batch file of its own folder, at boot, at normal priority, with no time limit' {
        $run = Invoke-Kit (New-World) install @{ User = $Account; Password = 'right' }
        $run.Output | Should -Match "Registered the task '\\Zentrova watchdog O'Neil Zentrova' for .*, as SERVER\\zentrova, enabled: it starts at boot"
        $run.Status | Should -Be 0
        $task = $run.After.tasks
        $task.Actions | Should -HaveCount 1
        $task.Actions[0].Execute | Should -Be $Cmd
        $task.Actions[0].Arguments | Should -Be "/d /c `"`"$Kit\run-watchdog.cmd`" >> `"$Kit\watchdog.log`" 2>&1`""
        $task.Actions[0].WorkingDirectory | Should -Be $Kit
        $task.UserId | Should -Be $Account
        $task.Trigger.AtStartup | Should -BeTrue
        "$($task.Settings.Priority) $($task.Settings.ExecutionTimeLimit) $($task.Settings.MultipleInstances) $($task.Settings.AllowStartIfOnBatteries) $($task.Settings.DontStopIfGoingOnBatteries)" |
            Should -Be '4 00:00:00 IgnoreNew True True'
        $task.State | Should -Be 'Ready'
        (Invoke-Kit $run.After status).Output | Should -Match 'Installed, never run'
    }

    It 'install again <Name>: <Says>' -ForEach @(
        @{ Name = 'keeps a stopped task stopped'; State = 'Disabled'; Options = @{}; Says = 'disabled, as it was'; After = 'Disabled'; Sets = 0 }
        @{ Name = 'with -Start starts a stopped task'; State = 'Disabled'; Options = @{ Start = $true }; Says = 'Started'; After = 'Ready'; Sets = 1 }
        @{ Name = 'keeps the name of a task that the earlier guide made'; State = 'Ready'; Options = @{}; Says = '''\\Zentrova watchdog'' for'; After = 'Ready'; Sets = 0 }
    ) {
        $run = Invoke-Kit (New-World @() (New-Task $Kit -State $State -Result 0)) install ($Options + @{ User = $Account; Password = 'right' })
        $run.Output | Should -Match $Says
        $run.Status | Should -Be 0
        $run.After.registered | Should -Be '\Zentrova watchdog'
        $run.After.tasks.State | Should -Be $After
        @($run.After.processes | Where-Object Name -eq 'watchdog.exe') | Should -HaveCount $Sets
    }

    It 'start <Name>: <Says>, status <Status>' -ForEach @(
        @{ Name = 'a stopped task'; Status = 0; Says = 'is Running(.|\n)*Started'; World = { New-World @() (New-Task $Kit -State Disabled -Result 0) } }
        @{ Name = 'a running one'; Status = 0; Says = 'Already running: nothing was started'; World = { New-World (New-Set $Kit 100) (New-Task $Kit) } }
        @{ Name = 'an account that cannot log on'; Status = 1; Says = 'Not started: the account could not log on \(0x8007052E\)'
            World = { $w = New-World @() (New-Task $Kit -Result 0); $w | Add-Member logonFailure 0x8007052E; $w } }
    ) {
        $run = Invoke-Kit (& $World) start
        $run.Output | Should -Match $Says
        $run.Status | Should -Be $Status
        @($run.After.processes | Where-Object Name -eq 'watchdog.exe') | Should -HaveCount $(if ($Status -eq 0) { 1 } else { 0 })
    }
}

Describe 'two servers on one host' -Tag 'hosts' {
    BeforeAll {
        $both = New-World ((New-Set $Kit 100) + (New-Set $Kit2 200)) ((New-Task $Kit), (New-Task $Kit2 -Name 'Zentrova 2'))
    }

    It 'the stop of one ends none of the other''s, nor its task, even where an id of one is reused by the other' {
        $both.reuse = @(@{ becomes = (New-Process 'watchdog.exe' 102 200 "$Kit2\watchdog.exe" 'watchdog.exe' 9000) })
        $run = Invoke-Kit $both stop
        $run.Status | Should -Be 0
        @($run.After.ended) | Should -Be 100, 103, 104
        ($run.After.tasks | Where-Object TaskName -eq 'Zentrova 2').State | Should -Be 'Ready'
        @($run.After.processes | ForEach-Object ProcessId) | Should -Be 200, 202, 203, 204, 102
        (Invoke-Kit $run.After status -Dir $Kit2).Output | Should -Match 'Two sets run in this folder'
    }

    It 'each status sees its own set only' {
        $both.reuse = @()
        (Invoke-Kit $both status -Dir $Kit2).Status | Should -Be 0
        $run = Invoke-Kit (New-World (New-Set $Kit2 200) ((New-Task $Kit -State Disabled -Result 0), (New-Task $Kit2 -Name 'Zentrova 2'))) status
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

    It '<_> is ASCII with CRLF line ends, as Windows PowerShell and cmd.exe read it' -ForEach 'watchdog-task.ps1', 'run-watchdog.cmd' {
        $bytes = [IO.File]::ReadAllBytes((Join-Path $Deploy $_))
        @($bytes | Where-Object { $_ -gt 127 }) | Should -BeNullOrEmpty
        $text = [Text.Encoding]::ASCII.GetString($bytes)
        $text | Should -Match "`r`n$"
        ($text -replace "`r`n") | Should -Not -Match "[`r`n]"
    }
}
