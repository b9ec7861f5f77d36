@echo off
rem Runs every test executable of this kit, as listed in tests.txt, from an elevated
rem prompt. Prints one line per executable ("NAME: passed, exit code 0" or "NAME:
rem failed, exit code N") and last "N passed, N failed"; exits 1 when a test failed,
rem the run was refused or its cleanup did not finish, else 0. The tests' temporary
rem files go to a folder of the run's own beside this file, removed at the end, as is
rem any korvan-vpn-service registration the tests left.
setlocal EnableExtensions
set "KIT=%~dp0"
set "KIT=%KIT:~0,-1%"
set "SERVICE=korvan-vpn-service"

rem Only an elevated process may list the sessions of the Server service; where that
rem service is off, only an elevated one may talk to the filter manager.
net session >nul 2>&1
if not errorlevel 1 goto elevated
fltmc >nul 2>&1
if not errorlevel 1 goto elevated
echo run-tests: refused: run this from an elevated prompt, "Run as administrator":
echo the tests install and remove services and write below %%ProgramData%%.
exit /b 1
:elevated

rem The tests remove and reinstall the service under its own name, so they must not
rem meet an installed product.
sc query %SERVICE% >nul 2>&1
if errorlevel 1 goto not_installed
echo run-tests: refused: the service %SERVICE% is installed on this machine; the tests
echo install and remove their own under that name. Uninstall KorvanVPN first.
exit /b 1
:not_installed

rem What the tests' services make in ProgramData and HKLM is removed at the end unless
rem it was there before.
set "KEEP_DATA="
if exist "%ProgramData%\KorvanVPN" set "KEEP_DATA=1"
for /d %%d in ("%ProgramData%\KorvanVPN.foreign-*") do set "KEEP_DATA=1"
set "KEEP_KEY="
reg query "HKLM\SOFTWARE\KorvanVPN" >nul 2>&1
if not errorlevel 1 set "KEEP_KEY=1"

set "RUN_TEMP=%KIT%\run-temp"
if exist "%RUN_TEMP%" rd /s /q "%RUN_TEMP%"
mkdir "%RUN_TEMP%"
set "TEMP=%RUN_TEMP%"
set "TMP=%RUN_TEMP%"

set /a PASSED=0
set /a FAILED=0
set /a COUNT=0
pushd "%KIT%"
for /f "usebackq delims=" %%t in ("%KIT%\tests.txt") do call :run_one "%%t"
popd

set "CLEAN=1"
for %%m in ("%KIT%\korvan-vpn-*-x64*.msi") do call :uninstall_package "%%~m"
call :remove_service
del /q "%KIT%\core_tests\wintun-x86_64.dll" "%KIT%\core_tests\service-core-record.txt" >nul 2>&1
if not defined KEEP_DATA call :remove_data
if not defined KEEP_KEY reg delete "HKLM\SOFTWARE\KorvanVPN" /f >nul 2>&1
rd /s /q "%RUN_TEMP%" >nul 2>&1
if not exist "%RUN_TEMP%" goto temp_removed
echo run-tests: could not remove %RUN_TEMP%
set "CLEAN="
:temp_removed

echo.
for /l %%i in (1,1,%COUNT%) do call echo %%SUMMARY_%%i%%
echo %PASSED% passed, %FAILED% failed
if %FAILED% neq 0 exit /b 1
if not defined CLEAN exit /b 1
exit /b 0

:run_one
set /a COUNT+=1
echo run-tests: %~n1
"%KIT%\%~1" --gtest_brief=1
set "CODE=%errorlevel%"
if "%CODE%"=="0" (
    set /a PASSED+=1
    set "SUMMARY_%COUNT%=%~n1: passed, exit code 0"
) else (
    set /a FAILED+=1
    set "SUMMARY_%COUNT%=%~n1: failed, exit code %CODE%"
)
exit /b 0

rem A package test that failed half-way may leave the product installed; for a package
rem that is not installed, msiexec does nothing and fails with 1605.
:uninstall_package
msiexec /x "%~1" /qn
exit /b 0

:remove_service
sc query %SERVICE% >nul 2>&1
if errorlevel 1 exit /b 0
sc stop %SERVICE% >nul 2>&1
sc delete %SERVICE% >nul 2>&1
rem A stopping service is deleted once its process has ended.
for /l %%s in (1,1,30) do (
    sc query %SERVICE% >nul 2>&1
    if errorlevel 1 exit /b 0
    ping -n 2 127.0.0.1 >nul
)
echo run-tests: could not remove the service %SERVICE%
set "CLEAN="
exit /b 0

rem Users may create entries in ProgramData, under any name, and in folders that
rem inherit its access list, so an elevated rd /s could be led along a junction, and
rem a name passed through "call" has its percent signs expanded again. kit-clean
rem lists KorvanVPN and KorvanVPN.foreign-* itself, opens every entry relative to its
rem folder, refuses reparse points, and locks each folder to SYSTEM and Administrators
rem before emptying it. Not "||": Wine's cmd runs what follows it whatever the exit code.
:remove_data
"%KIT%\kit-clean.exe" "%ProgramData%"
if errorlevel 1 set "CLEAN="
exit /b 0
