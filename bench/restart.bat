@echo off
rem The hand-written alternative: run the server, stop on 4919, else pause about 3 s.
:loop
Zentrova.exe
if %errorlevel% equ 4919 goto :eof
ping -n 4 127.0.0.1 >nul
goto loop
