@echo off
rem uninstall-service.cmd - stops raroredoziri-service and removes it from the
rem service control manager; the configuration and the log stay. Run it from
rem a command prompt started with "Run as administrator".
"%~dp0raroredoziri-service.exe" uninstall
exit /b %ERRORLEVEL%
