@echo off
rem Runs watchdog.exe from this file's folder, and again a minute after
rem it ends with a failure; ends with 0 once the server asked to stay
rem stopped. An argument, for a test, is how many pings the wait takes.
rem Typed into a console, or started by one that stays (/k), it would run in
rem a cmd.exe whose command line names no file, or that outlives it: once,
rem it starts itself in a cmd.exe of its own, so that watchdog-task.ps1 finds
rem it. A path with ! or = cannot be looked for; a variable named CMDCMDLINE
rem would hide the command line.
if defined RUN_WATCHDOG_AGAIN goto run
for /f "delims=!=" %%A in ("%~f0") do if not "%%A"=="%~f0" goto self
setlocal EnableDelayedExpansion
set "cmdcmdline="
set "line=!cmdcmdline!"
if not defined line goto named
if not "!line:%~f0=!"=="!line!" if "!line:/k=!"=="!line!" goto named
endlocal
:self
setlocal
set "RUN_WATCHDOG_AGAIN=1"
"%SystemRoot%\System32\cmd.exe" /d /c ^""%~f0" %*^"
exit /b %errorlevel%
:named
endlocal
:run
set "RUN_WATCHDOG_AGAIN="
set pings=%~1
if not defined pings set pings=61
cd /d "%~dp0"
:again
"%~dp0watchdog.exe"
if %errorlevel% equ 0 exit /b 0
"%SystemRoot%\System32\ping.exe" -n %pings% 127.0.0.1 >nul
goto again
