@echo off
rem Edits the menus in hvn\ini beside this file: starts the menu creator with
rem --keep, so it begins with the entries the menus hold, and keeps this
rem window open once it ends, so that its last words can be read. pushd
rem reaches a folder on a network share (\\server\share) too, through a
rem drive letter of its own, where cd cannot.
setlocal
rem The program leaves the one wait to this file's pause.
set HVN_CALLER_PAUSES=1
pushd "%~dp0"
halvane-menu.exe --keep
pause
popd
endlocal
