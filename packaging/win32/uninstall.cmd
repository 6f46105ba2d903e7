@echo off
rem Removes TOLMIX.OCX: unregisters the control and deletes from the system
rem directory the files install.cmd copied there (TOLMIX.installed names
rem them); files of other programs and the administrator's device lists stay.
setlocal
set "dest=%SystemRoot%\System32"
rem A 32-bit package goes where 32-bit programs look on 64-bit Windows.
if "@BITS@"=="32" if exist "%SystemRoot%\SysWOW64\" set "dest=%SystemRoot%\SysWOW64"
set "list=%dest%\TOLMIX.installed"
if not exist "%list%" (
  echo TOLMIX.OCX is not installed in %dest%
  exit /b 1
)
"%dest%\regsvr32.exe" /s /u "%dest%\TOLMIX.OCX"
for /f "usebackq delims=" %%f in ("%list%") do if /i not "%%f"=="P11_SKF.ini" if /i not "%%f"=="GM_SKF.ini" del /f "%dest%\%%f"
del /f "%list%"
echo TOLMIX.OCX removed from %dest%
exit /b 0
