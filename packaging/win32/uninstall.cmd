@echo off
rem Removes TOLMIX.OCX: unregisters the control and deletes from the system
rem directory the files install.cmd copied there (TOLMIX.installed names
rem them); files of other programs stay.  A device list install.cmd wrote
rem goes only while its fingerprint (fingerprint.js) is the one install.cmd
rem kept in TOLMIX.installed.<name>: a list the administrator edited stays.
setlocal
rem A 64-bit package started from 32-bit cmd.exe on 64-bit Windows would see
rem SysWOW64 as System32: it starts over in the 64-bit cmd.exe.
if "@BITS@"=="64" if defined PROCESSOR_ARCHITEW6432 if exist "%SystemRoot%\Sysnative\cmd.exe" (
  "%SystemRoot%\Sysnative\cmd.exe" /c "%~f0" %*
  exit /b
)
set "src=%~dp0"
set "dest=%SystemRoot%\System32"
rem A 32-bit package goes where 32-bit programs look on 64-bit Windows.
if "@BITS@"=="32" if exist "%SystemRoot%\SysWOW64\" set "dest=%SystemRoot%\SysWOW64"
set "list=%dest%\TOLMIX.installed"
if not exist "%list%" (
  echo TOLMIX.OCX is not installed in %dest%
  exit /b 1
)
"%dest%\regsvr32.exe" /s /u "%dest%\TOLMIX.OCX"
for /f "usebackq delims=" %%f in ("%list%") do call :remove %%f
del /f "%list%"
echo TOLMIX.OCX removed from %dest%
exit /b 0

rem :remove FILE deletes FILE; a device list only when unchanged.
:remove
if /i "%1"=="P11_SKF.ini" goto remove_list
if /i "%1"=="GM_SKF.ini" goto remove_list
del /f "%dest%\%1"
exit /b 0
:remove_list
set "orig=%dest%\TOLMIX.installed.%1"
if not exist "%orig%" exit /b 0
set "kept="
set "print="
for /f "usebackq delims=" %%h in ("%orig%") do set "kept=%%h"
for /f "usebackq delims=" %%h in (`cscript //nologo "%src%fingerprint.js" "%dest%\%1"`) do set "print=%%h"
if defined kept if "%print%"=="%kept%" del /f "%dest%\%1"
del /f "%orig%"
exit /b 0
