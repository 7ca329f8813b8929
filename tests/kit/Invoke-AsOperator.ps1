# Runs the kit's script as an operator's PowerShell does, on the fake Windows,
# handing programs their arguments as Windows PowerShell 5.1 does, and ends
# with the exit status that the operator's $LASTEXITCODE shows.
param([string] $Script, [string] $Verb, [string] $User, [string] $Password, [string] $TaskName, [switch] $Start)
$ErrorActionPreference = 'Stop'
Import-Module (Join-Path $PSScriptRoot 'FakeWindows.psm1')
$PSNativeCommandArgumentPassing = 'Legacy'
$named = @{ Start = $Start }
if ($TaskName) { $named.TaskName = $TaskName }
if ($User) { $named.Credential = New-Object System.Management.Automation.PSCredential($User, (ConvertTo-SecureString $Password -AsPlainText -Force)) }
$global:LASTEXITCODE = 99
& $Script $Verb @named
$status = $LASTEXITCODE
Save-FakeWindows
exit $status
