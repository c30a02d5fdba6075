@echo off
rem Takes the example installation of install.cmd away again: its resources
rem (the key HKEY_LOCAL_MACHINE\SOFTWARE\Brolix\Resources, with what the
rem programs recorded there) and the folder C:\Brolix. Run it as administrator.
reg query "HKLM\SOFTWARE\Brolix\Resources" >nul 2>&1
if not errorlevel 1 (
    reg delete "HKLM\SOFTWARE\Brolix\Resources" /f >nul 2>&1
    if errorlevel 1 (
        echo Cannot remove the resources below HKEY_LOCAL_MACHINE: run uninstall.cmd as administrator. 1>&2
        exit /b 1
    )
)
if exist "C:\Brolix" rmdir /S /Q "C:\Brolix"
if exist "C:\Brolix" (
    echo Cannot remove C:\Brolix: is a program still using it? 1>&2
    exit /b 1
)
echo The example is removed.
