# Runs the kit's script as an operator's PowerShell does, on the fake Windows:
# in a runspace of its own, whose global preferences are a console's defaults
# or, with -StopProfile, what a profile that sets $ErrorActionPreference =
# 'Stop' leaves, handing programs their arguments as Windows PowerShell 5.1
# does. Returns what the script wrote and the exit status that the operator's
# $LASTEXITCODE shows. A runspace, not a process: a PowerShell started for
# each run costs a second or more.
param([string] $Script, [string] $Verb, [hashtable] $Named = @{}, [switch] $StopProfile)
$operator = [PowerShell]::Create()
try {
    $null = $operator.AddScript({
        param($Script, $Verb, $Named, $Fake, $StopProfile)
        if ($StopProfile) { $global:ErrorActionPreference = 'Stop' }
        Import-Module $Fake
        $global:PSNativeCommandArgumentPassing = 'Legacy'
        $global:LASTEXITCODE = 99
        & $Script $Verb @Named
        $LASTEXITCODE
        Save-FakeWindows
    }.ToString()).AddParameters(@{ Script = $Script; Verb = $Verb; Named = $Named; Fake = (Join-Path $PSScriptRoot 'FakeWindows.psm1'); StopProfile = [bool]$StopProfile })
    $out = @($operator.Invoke())
    # What else the script wrote, or let escape, shows with its lines.
    $stray = @($out | Select-Object -SkipLast 1) + @($operator.Streams.Error)
    [pscustomobject]@{
        Output = (@($operator.Streams.Information | ForEach-Object { "$_" }) + @($stray | ForEach-Object { "$_" })) -join "`n"
        Status = $out[-1]
    }
} finally { $operator.Dispose() }
