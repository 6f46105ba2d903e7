@echo off
rem Installs TOLMIX.OCX for @BITS@-bit Windows from this folder: the control and
rem its engine modules go into the system directory of @BITS@-bit programs, with
rem OpenSSL's libcrypto and capi engine and the soft key SKFAPI.dll unless
rem another program's files of those names are there; then the control is
rem registered.  TOLMIX.installed beside them names what was copied, so
rem that uninstall.cmd removes only that.  Run as an administrator; running
rem it again upgrades.
rem
rem The device lists P11_SKF.ini and GM_SKF.ini are written only where there
rem are none: the administrator's lists, edited or not, survive every
rem upgrade.  The fingerprint of each list as written (fingerprint.js, kept
rem in TOLMIX.installed.<name>) lets uninstall.cmd tell whether it was
rem edited since.
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
type nul > "%list%.new"
if not exist "%list%.new" goto failed
set "bad="
for %%f in (TOLMIX.OCX pkcs11_rsa_key.dll gmEngine.dll) do call :copy %%f
for %%f in (@LIBCRYPTO@ capi.dll SKFAPI.dll) do call :keep %%f
for %%f in (P11_SKF.ini GM_SKF.ini) do call :devicelist %%f
if defined bad goto failed
move /y "%list%.new" "%list%" >nul
if errorlevel 1 goto failed
"%dest%\regsvr32.exe" /s "%dest%\TOLMIX.OCX"
if errorlevel 1 goto failed
echo TOLMIX.OCX installed in %dest%
exit /b 0

rem :keep FILE copies FILE only where it is absent or ours; :copy FILE
rem copies it and notes it, or sets bad.
:keep
if not exist "%dest%\%1" goto copy
call :ours %1
if not errorlevel 1 goto copy
exit /b 0
:copy
copy /y "%src%%1" "%dest%\%1" >nul
if errorlevel 1 (
  set "bad=1"
  exit /b 1
)
echo %1>> "%list%.new"
exit /b 0

rem :devicelist FILE writes the empty list FILE where there is none, and
rem keeps its fingerprint.  A list an earlier install wrote stays
rem as it is, still noted while its fingerprint is kept.
:devicelist
if exist "%dest%\%1" goto devicelist_there
copy /y "%src%%1" "%dest%\%1" >nul
if errorlevel 1 goto devicelist_bad
set "print="
for /f "usebackq delims=" %%h in (`cscript //nologo "%src%fingerprint.js" "%dest%\%1"`) do set "print=%%h"
rem Without a fingerprint the list is the administrator's from now on.
if not defined print exit /b 0
> "%dest%\TOLMIX.installed.%1" echo %print%
if errorlevel 1 goto devicelist_bad
echo %1>> "%list%.new"
exit /b 0
:devicelist_there
call :ours %1
if errorlevel 1 exit /b 0
if exist "%dest%\TOLMIX.installed.%1" echo %1>> "%list%.new"
exit /b 0
:devicelist_bad
set "bad=1"
exit /b 1

rem :ours FILE: errorlevel 0 when TOLMIX.installed names FILE.
:ours
if not exist "%list%" exit /b 1
for /f "usebackq delims=" %%f in ("%list%") do if /i "%%f"=="%1" exit /b 0
exit /b 1

:failed
echo TOLMIX.OCX: the installation failed
exit /b 1
