@echo off
rem Edits the menus in hvn\ini beside this file: starts the menu creator with
rem --keep, so it begins with the entries the menus hold, and keeps this
rem window open if it ends with an error, so that its message can be read.
cd /d "%~dp0"
halvane-menu.exe --keep
if errorlevel 1 pause
