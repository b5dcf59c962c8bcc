@echo off
rem Checks the menus in hvn\ini beside this file: starts the menu creator
rem with --check, which lists each entry the console may not start and
rem changes nothing, and keeps this window open so that the list can be
rem read. pushd reaches a folder on a network share too, where cd cannot.
setlocal
rem The program leaves the one wait to this file's pause.
set HVN_CALLER_PAUSES=1
pushd "%~dp0"
halvane-menu.exe --check
pause
popd
endlocal
