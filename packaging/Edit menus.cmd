@echo off
rem Edits the menus in hvn\ini beside this file: starts the menu creator with
rem --keep, so it begins with the entries the menus hold, and keeps this
rem window open once it ends, so that its last words can be read. Given the
rem console's address, it fetches the console's menus first and sends them
rem back after 7. pushd reaches a folder on a network share (\\server\share)
rem too, through a drive letter of its own, where cd cannot.
setlocal
rem The program leaves the one wait to this file's pause.
set HVN_CALLER_PAUSES=1
pushd "%~dp0"
echo The console's address, to fetch its menus first and send them back after
echo 7, such as ftp://xbox@192.168.1.20/E/Dash (Enter: the menus here only):
set HVN_CONSOLE=
set /p HVN_CONSOLE=
rem Only an address counts: an empty answer leaves the variable as it was
rem on Windows, and empty under Wine.
if /i "%HVN_CONSOLE:~0,6%"=="ftp://" (
  halvane-menu.exe --keep --console "%HVN_CONSOLE%"
) else (
  halvane-menu.exe --keep
)
pause
popd
endlocal
