@echo off
rem Runs watchdog.exe from this file's folder, and again a minute after
rem it ends with a failure; ends with 0 once the server asked to stay
rem stopped. An argument, for a test, is how many pings the wait takes.
set pings=%~1
if not defined pings set pings=61
cd /d "%~dp0"
:again
"%~dp0watchdog.exe"
if %errorlevel% equ 0 exit /b 0
"%SystemRoot%\System32\ping.exe" -n %pings% 127.0.0.1 >nul
goto again
