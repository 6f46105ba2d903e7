@echo off
rem Installs TOLMIX.OCX for 32-bit Windows from this folder: the control and
rem its engine modules go into the system directory of 32-bit programs, with
rem OpenSSL's libcrypto and capi engine and the soft key SKFAPI.dll unless
rem another program's files of those names are there, and the device lists
rem unless the administrator's are there; then
rem the control is registered.  TOLMIX.installed beside them names what was
rem copied, so that uninstall.cmd removes only that.  Run as an administrator.
setlocal
set "src=%~dp0"
set "dest=%SystemRoot%\System32"
rem A 32-bit package goes where 32-bit programs look on 64-bit Windows.
if "@BITS@"=="32" if exist "%SystemRoot%\SysWOW64\" set "dest=%SystemRoot%\SysWOW64"
set "list=%dest%\TOLMIX.installed"
type nul > "%list%.new"
if not exist "%list%.new" goto failed
set "bad="
for %%f in (TOLMIX.OCX pkcs11_rsa_key.dll gmEngine.dll) do call :copy %%f
for %%f in (@LIBCRYPTO@ capi.dll SKFAPI.dll P11_SKF.ini GM_SKF.ini) do call :keep %%f
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
if exist "%list%" for /f "usebackq delims=" %%f in ("%list%") do if /i "%%f"=="%1" goto copy
exit /b 0
:copy
copy /y "%src%%1" "%dest%\%1" >nul
if errorlevel 1 (
  set "bad=1"
  exit /b 1
)
echo %1>> "%list%.new"
exit /b 0

:failed
echo TOLMIX.OCX: the installation failed
exit /b 1
