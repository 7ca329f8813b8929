# Runs the kit's tests of one tag with the Pester that $env:PESTER holds, and
# ends with the number of tests that failed.
param([Parameter(Mandatory = $true)] [string] $Tag)
$ErrorActionPreference = 'Stop'
Import-Module (Get-ChildItem -Recurse -Filter Pester.psd1 -LiteralPath $env:PESTER)[0].FullName
$configuration = New-PesterConfiguration
$configuration.Run.Path = $PSScriptRoot
$configuration.Run.PassThru = $true
$configuration.Filter.Tag = $Tag
$configuration.Output.Verbosity = 'Detailed'
$result = Invoke-Pester -Configuration $configuration
if ($result.TotalCount -eq 0) { Write-Host "No test has the tag $Tag."; exit 1 }
exit $result.FailedCount
