@echo off
rem Runs vlfwu.exe with the same argument and writes a support log, vlfwu-log.txt, beside
rem this file. Send that file to Valtrane support when an update fails.
setlocal
set "VLFWU_LOG=%~dp0vlfwu-log.txt"
"%~dp0vlfwu.exe" %*
endlocal
