@echo off
rem Lays the example installation out in C:\Brolix and stores its resources in
rem the registry. Run it as administrator: the resources live below
rem HKEY_LOCAL_MACHINE.
xcopy /E /I /Y /Q "%~dp0conf" "C:\Brolix\conf" >nul
if errorlevel 1 exit /b 1
reg import "%~dp0brolix.reg" /reg:64
if errorlevel 1 exit /b 1
echo The example is installed in C:\Brolix.
echo Run ardwen.exe to build its configuration files into C:\Brolix\conf.
