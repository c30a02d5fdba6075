@echo off
rem Lays the example installation out in C:\Brolix and stores its resources in
rem the registry. Run it as administrator: the resources live below
rem HKEY_LOCAL_MACHINE. The resources are written first, so that without an
rem administrator's rights nothing is copied. uninstall.cmd takes it away again.
reg import "%~dp0brolix.reg" /reg:64 >nul 2>&1
if errorlevel 1 (
    echo Cannot write the resources below HKEY_LOCAL_MACHINE: run install.cmd as administrator. 1>&2
    exit /b 1
)
xcopy /E /I /Y /Q "%~dp0conf" "C:\Brolix\conf" >nul
if errorlevel 1 (
    echo Cannot copy the example to C:\Brolix\conf. 1>&2
    exit /b 1
)
echo The example is installed in C:\Brolix.
echo Run ardwen.exe to build its configuration files into C:\Brolix\conf.
