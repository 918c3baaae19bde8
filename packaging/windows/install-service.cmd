@echo off
rem install-service.cmd - registers raroredoziri-service.exe of this folder
rem with the service control manager (automatic start, LocalService) and
rem starts it. Run it from a command prompt started with "Run as
rem administrator".
rem
rem   install-service.cmd               the configuration
rem                                     %ProgramData%\RaroreDoziri\service.json
rem                                     (the example is copied there if none)
rem   install-service.cmd FILE          another configuration file
rem
rem The log is service.log beside the configuration.
setlocal
set "RD_EXE=%~dp0raroredoziri-service.exe"
set "RD_DIR=%ProgramData%\RaroreDoziri"
set "RD_CONFIG=%RD_DIR%\service.json"
if not "%~1"=="" set "RD_CONFIG=%~f1"
if not exist "%RD_DIR%" mkdir "%RD_DIR%"
if not exist "%RD_CONFIG%" if exist "%~dp0..\service.json.example" copy "%~dp0..\service.json.example" "%RD_CONFIG%" >nul
"%RD_EXE%" install --config "%RD_CONFIG%"
if errorlevel 1 goto failed
net start raroredoziri-service
if errorlevel 1 goto failed
echo The scale service runs: http://127.0.0.1:8080/ (edit %RD_CONFIG% for the scales)
exit /b 0
:failed
echo Failed: run this script as administrator; see %RD_DIR%\service.log
exit /b 1
