#!/bin/sh
# Folders are layers. The core (src/link, src/reader, src/mifare, src/store,
# src/catalog, src/profile) includes nothing of the window or the command-line
# tool, no Qt Gui or Widgets header and not the command-line parser; only
# src/gui touches a widget, and the command-line tool nothing of the window.
cd "$(dirname "$0")/../../src" || exit 2
status=0
core="link reader mifare store catalog profile"
# An include of a folder above, or of Qt beyond Core.
above='#include *[<"]\(gui\|cli\)/\|#include *<Qt\(Gui\|Widgets\)\|#include *<Q\(Widget\|Application\|GuiApplication\|Font\|Color\|Painter\|CommandLineParser\|CommandLineOption\)[>.]'
for folder in $core; do
    if grep -n "$above" "$folder"/*.h "$folder"/*.cpp; then
        echo "the core folder $folder includes a file of a layer above it"
        status=1
    fi
done
if grep -n '#include *[<"]gui/\|#include *<Qt\(Gui\|Widgets\)\|#include *<Q\(Widget\|Application\|GuiApplication\)[>.]' cli/*.h cli/*.cpp; then
    echo "the command-line tool includes the window or a widget"
    status=1
fi
exit $status
