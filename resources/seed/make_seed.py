#!/usr/bin/env python3
"""Writes system.reg and user.reg, the seed registry of a new own machine.

The content is a small Windows 98 registry as Windows leaves it after setup, written down below
in the REGEDIT4 form that Windows 98's Registry Editor exports, and turned into Wine's registry
file format exactly as wineserver writes it (see shared/reference/wine-registry-files.md):
keys and values in Wine's order, Wine's escapes, `[Key] SECONDS` + `#time=` headers, a header only
for keys with values or without subkeys, and hex lists broken after column 76.

Run it from anywhere; it rewrites the two files beside it. The output is deterministic.
tests/registry/seed_test.cpp checks that Quorvel's writer reproduces both files byte for byte.
"""

import datetime
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

TICKS_PER_SECOND = 10_000_000
TICKS_1601_TO_1970 = 116_444_736_000_000_000

# ---------------------------------------------------------------------------------------------
# Binary data that is easier to compute than to type


def logfont(height, weight, face):
    """A Windows 98 LOGFONTA (60 bytes) as WindowMetrics stores its fonts."""
    b = bytearray()
    b += (height & 0xFFFFFFFF).to_bytes(4, "little")  # lfHeight
    b += (0).to_bytes(4, "little")                    # lfWidth
    b += (0).to_bytes(4, "little")                    # lfEscapement
    b += (0).to_bytes(4, "little")                    # lfOrientation
    b += weight.to_bytes(4, "little")                 # lfWeight
    b += bytes([0, 0, 0, 0, 0, 0, 0, 0])              # italic .. pitch and family
    name = face.encode("ascii")
    b += name + bytes(32 - len(name))                 # lfFaceName[32]
    return bytes(b)


def dos_datetime(y, mo, d, h, mi, s):
    time = (h << 11) | (mi << 5) | (s // 2)
    date = ((y - 1980) << 9) | (mo << 5) | d
    return time.to_bytes(2, "little") + date.to_bytes(2, "little")


def menu_order(entries):
    """A Start-menu "Order" stream as Explorer 4 kept it: a header, then one record per item,
    each with its sort position and the item's shell ID (folder or file, short name)."""
    stamp = dos_datetime(1998, 8, 14, 10, 47, 12)
    records = b""
    for pos, (name, is_folder) in enumerate(entries):
        short = name.encode("ascii") + b"\0"
        if len(short) % 2:
            short += b"\0"
        item = bytes([0x31 if is_folder else 0x32, 0]) + (0).to_bytes(4, "little") + stamp
        item += (0x10 if is_folder else 0x20).to_bytes(2, "little") + short
        itemid = (len(item) + 2).to_bytes(2, "little") + item + b"\0\0"  # one ID, terminated
        rec = pos.to_bytes(4, "little") + itemid
        records += (len(rec) + 4).to_bytes(4, "little") + rec
    header_tail = (1).to_bytes(4, "little") + len(entries).to_bytes(4, "little")
    total = 12 + len(header_tail) + len(records)
    return ((8).to_bytes(4, "little") + (2).to_bytes(4, "little") + total.to_bytes(4, "little")
            + header_tail + records)


def hexlist(b):
    return ",".join("%02x" % x for x in b)


FONTS = {
    "CaptionFont": hexlist(logfont(-11, 700, "MS Sans Serif")),
    "SmCaptionFont": hexlist(logfont(-11, 700, "MS Sans Serif")),
    "MenuFont": hexlist(logfont(-11, 400, "MS Sans Serif")),
    "StatusFont": hexlist(logfont(-11, 400, "MS Sans Serif")),
    "MessageFont": hexlist(logfont(-11, 400, "MS Sans Serif")),
    "IconFont": hexlist(logfont(-11, 400, "MS Sans Serif")),
}
ORDER_PROGRAMS = hexlist(menu_order([("Accessories", True), ("Online Services", True),
                                     ("StartUp", True), ("Internet Explorer", True),
                                     ("MS-DOS Prompt.lnk", False),
                                     ("Windows Explorer.lnk", False)]))
ORDER_ACCESSORIES = hexlist(menu_order([("Communications", True), ("Entertainment", True),
                                        ("System Tools", True), ("Calculator.lnk", False),
                                        ("Imaging.lnk", False), ("Notepad.lnk", False),
                                        ("Paint.lnk", False), ("WordPad.lnk", False)]))
ORDER_FAVORITES = hexlist(menu_order([("Channels", True), ("Links", True),
                                      ("Media", True), ("Software Updates", True)]))
INSTALL_DATE = hexlist(dos_datetime(1998, 8, 14, 10, 20, 30))

# ---------------------------------------------------------------------------------------------
# The content, as Windows 98's Registry Editor would export it

SYSTEM = r'''
[HKEY_CLASSES_ROOT\*\shellex\PropertySheetHandlers\{3EA48300-8CF6-101B-84FB-666CCB9BCD32}]

[HKEY_CLASSES_ROOT\.bat]
@="batfile"

[HKEY_CLASSES_ROOT\.bfc]
@="Briefcase"

[HKEY_CLASSES_ROOT\.bfc\ShellNew]
"Command"="C:\\WINDOWS\\RUNDLL32.EXE syncui.dll,Briefcase_Create %2!d! %1"

[HKEY_CLASSES_ROOT\.bmp]
@="Paint.Picture"
"Content Type"="image/bmp"

[HKEY_CLASSES_ROOT\.bmp\ShellNew]
"NullFile"=""

[HKEY_CLASSES_ROOT\.doc]
@="WordPad.Document.1"

[HKEY_CLASSES_ROOT\.doc\WordPad.Document.1\ShellNew]
"NullFile"=""

[HKEY_CLASSES_ROOT\.exe]
@="exefile"
"Content Type"="application/x-msdownload"

[HKEY_CLASSES_ROOT\.hlp]
@="hlpfile"

[HKEY_CLASSES_ROOT\.ini]
@="inifile"

[HKEY_CLASSES_ROOT\.lnk]
@="lnkfile"

[HKEY_CLASSES_ROOT\.lnk\ShellNew]
"Command"="RunDLL32 AppWiz.Cpl,NewLinkHere %1"

[HKEY_CLASSES_ROOT\.reg]
@="regfile"

[HKEY_CLASSES_ROOT\.txt]
@="txtfile"
"Content Type"="text/plain"

[HKEY_CLASSES_ROOT\.txt\ShellNew]
"NullFile"=""

[HKEY_CLASSES_ROOT\.wav]
@="SoundRec"
"Content Type"="audio/wav"

[HKEY_CLASSES_ROOT\.wav\ShellNew]
"FileName"="sndrec.wav"

[HKEY_CLASSES_ROOT\.wri]
@="wrifile"

[HKEY_CLASSES_ROOT\AudioCD]
@="AudioCD"
"EditFlags"=hex:02,00,00,00

[HKEY_CLASSES_ROOT\AudioCD\DefaultIcon]
@="C:\\WINDOWS\\SYSTEM\\shell32.dll,40"

[HKEY_CLASSES_ROOT\AudioCD\shell]
@="play"

[HKEY_CLASSES_ROOT\AudioCD\shell\play]
@="&Play"

[HKEY_CLASSES_ROOT\AudioCD\shell\play\command]
@="C:\\WINDOWS\\CDPLAYER.EXE /play %1"

[HKEY_CLASSES_ROOT\batfile]
@="MS-DOS Batch File"
"EditFlags"=hex:d0,04,00,00

[HKEY_CLASSES_ROOT\batfile\DefaultIcon]
@="C:\\WINDOWS\\SYSTEM\\shell32.dll,-153"

[HKEY_CLASSES_ROOT\batfile\shell\edit]
@="&Edit"

[HKEY_CLASSES_ROOT\batfile\shell\edit\command]
@="C:\\WINDOWS\\NOTEPAD.EXE %1"

[HKEY_CLASSES_ROOT\batfile\shell\open]
"EditFlags"=hex:00,00,00,00

[HKEY_CLASSES_ROOT\batfile\shell\open\command]
@="\"%1\" %*"

[HKEY_CLASSES_ROOT\batfile\shellex\PropertySheetHandlers\PifProps]
@="{86F19A00-42A0-1069-A2E9-08002B30309D}"

[HKEY_CLASSES_ROOT\Briefcase]
@="Briefcase"

[HKEY_CLASSES_ROOT\Briefcase\CLSID]
@="{85BBD920-42A0-1069-A2E4-08002B30309D}"

[HKEY_CLASSES_ROOT\Briefcase\DefaultIcon]
@="syncui.dll,0"

[HKEY_CLASSES_ROOT\CLSID\{20D04FE0-3AEA-1069-A2D8-08002B30309D}]
@="My Computer"

[HKEY_CLASSES_ROOT\CLSID\{20D04FE0-3AEA-1069-A2D8-08002B30309D}\DefaultIcon]
@="C:\\WINDOWS\\SYSTEM\\shell32.dll,15"

[HKEY_CLASSES_ROOT\CLSID\{20D04FE0-3AEA-1069-A2D8-08002B30309D}\InProcServer32]
@="shell32.dll"
"ThreadingModel"="Apartment"

[HKEY_CLASSES_ROOT\CLSID\{20D04FE0-3AEA-1069-A2D8-08002B30309D}\ShellFolder]
"Attributes"=hex:b4,00,00,a0

[HKEY_CLASSES_ROOT\CLSID\{645FF040-5081-101B-9F08-00AA002F954E}]
@="Recycle Bin"

[HKEY_CLASSES_ROOT\CLSID\{645FF040-5081-101B-9F08-00AA002F954E}\DefaultIcon]
@="C:\\WINDOWS\\SYSTEM\\shell32.dll,31"
"Empty"="C:\\WINDOWS\\SYSTEM\\shell32.dll,31"
"Full"="C:\\WINDOWS\\SYSTEM\\shell32.dll,32"

[HKEY_CLASSES_ROOT\CLSID\{645FF040-5081-101B-9F08-00AA002F954E}\InProcServer32]
@="shell32.dll"
"ThreadingModel"="Apartment"

[HKEY_CLASSES_ROOT\CLSID\{645FF040-5081-101B-9F08-00AA002F954E}\ShellFolder]
"Attributes"=hex:40,01,00,20

[HKEY_CLASSES_ROOT\Directory]
@="File Folder"

[HKEY_CLASSES_ROOT\Directory\shell\find]
@="Fin&d..."

[HKEY_CLASSES_ROOT\Directory\shell\find\command]
@="C:\\WINDOWS\\Explorer.exe"

[HKEY_CLASSES_ROOT\Directory\shell\find\ddeexec]
@="[FindFolder(\"%l\", %I)]"

[HKEY_CLASSES_ROOT\Directory\shell\find\ddeexec\application]
@="Folder"

[HKEY_CLASSES_ROOT\Directory\shell\find\ddeexec\topic]
@="AppProperties"

[HKEY_CLASSES_ROOT\Directory\shellex\CopyHookHandlers\FileSystem]
@="{217FC9C0-3AEA-1069-A2DB-08002B30309D}"

[HKEY_CLASSES_ROOT\Drive]
@="Drive"

[HKEY_CLASSES_ROOT\Drive\shell\find]
@="Fin&d..."

[HKEY_CLASSES_ROOT\Drive\shell\find\command]
@="C:\\WINDOWS\\Explorer.exe"

[HKEY_CLASSES_ROOT\Drive\shell\find\ddeexec]
@="[FindFolder(\"%l\", %I)]"

[HKEY_CLASSES_ROOT\Drive\shell\find\ddeexec\application]
@="Folder"

[HKEY_CLASSES_ROOT\Drive\shell\find\ddeexec\topic]
@="AppProperties"

[HKEY_CLASSES_ROOT\Drive\shellex\PropertySheetHandlers\{59BE4990-F85C-11CE-AFF7-00AA003CA9F6}]

[HKEY_CLASSES_ROOT\exefile]
@="Application"
"EditFlags"=hex:d8,07,00,00

[HKEY_CLASSES_ROOT\exefile\DefaultIcon]
@="%1"

[HKEY_CLASSES_ROOT\exefile\shell\open]
"EditFlags"=hex:00,00,00,00

[HKEY_CLASSES_ROOT\exefile\shell\open\command]
@="\"%1\" %*"

[HKEY_CLASSES_ROOT\exefile\shellex\PropertySheetHandlers\PifProps]
@="{86F19A00-42A0-1069-A2E9-08002B30309D}"

[HKEY_CLASSES_ROOT\Folder]
@="Folder"
"EditFlags"=hex:d2,01,00,00

[HKEY_CLASSES_ROOT\Folder\DefaultIcon]
@="C:\\WINDOWS\\SYSTEM\\shell32.dll,3"

[HKEY_CLASSES_ROOT\Folder\shell\explore\command]
@="C:\\WINDOWS\\Explorer.exe /e,/idlist,%I,%L"

[HKEY_CLASSES_ROOT\Folder\shell\explore\ddeexec]
@="[ExploreFolder(\"%l\", %I, %S)]"
"NoActivateHandler"=""

[HKEY_CLASSES_ROOT\Folder\shell\explore\ddeexec\application]
@="Folder"

[HKEY_CLASSES_ROOT\Folder\shell\explore\ddeexec\topic]
@="AppProperties"

[HKEY_CLASSES_ROOT\Folder\shell\open]
"EditFlags"=hex:01,00,00,00

[HKEY_CLASSES_ROOT\Folder\shell\open\command]
@="C:\\WINDOWS\\Explorer.exe /idlist,%I,%L"

[HKEY_CLASSES_ROOT\Folder\shell\open\ddeexec]
@="[ViewFolder(\"%l\", %I, %S)]"
"NoActivateHandler"=""

[HKEY_CLASSES_ROOT\Folder\shell\open\ddeexec\application]
@="Folder"

[HKEY_CLASSES_ROOT\Folder\shell\open\ddeexec\topic]
@="AppProperties"

[HKEY_CLASSES_ROOT\Folder\shellex\ContextMenuHandlers\BriefcaseMenu]
@="{85BBD920-42A0-1069-A2E4-08002B30309D}"

[HKEY_CLASSES_ROOT\hlpfile]
@="Help File"

[HKEY_CLASSES_ROOT\hlpfile\DefaultIcon]
@="C:\\WINDOWS\\WINHLP32.EXE,1"

[HKEY_CLASSES_ROOT\hlpfile\shell\open\command]
@="C:\\WINDOWS\\WINHLP32.EXE %1"

[HKEY_CLASSES_ROOT\inifile]
@="Configuration Settings"

[HKEY_CLASSES_ROOT\inifile\DefaultIcon]
@="C:\\WINDOWS\\SYSTEM\\shell32.dll,-151"

[HKEY_CLASSES_ROOT\inifile\shell\open\command]
@="C:\\WINDOWS\\NOTEPAD.EXE %1"

[HKEY_CLASSES_ROOT\inifile\shell\print\command]
@="C:\\WINDOWS\\NOTEPAD.EXE /p %1"

[HKEY_CLASSES_ROOT\lnkfile]
@="Shortcut"
"EditFlags"=hex:01,00,00,00
"IsShortcut"=""
"NeverShowExt"=""

[HKEY_CLASSES_ROOT\lnkfile\CLSID]
@="{00021401-0000-0000-C000-000000000046}"

[HKEY_CLASSES_ROOT\lnkfile\shellex\ContextMenuHandlers\{00021401-0000-0000-C000-000000000046}]

[HKEY_CLASSES_ROOT\lnkfile\shellex\DropHandler]
@="{00021401-0000-0000-C000-000000000046}"

[HKEY_CLASSES_ROOT\lnkfile\shellex\IconHandler]
@="{00021401-0000-0000-C000-000000000046}"

[HKEY_CLASSES_ROOT\lnkfile\shellex\PropertySheetHandlers\ShellLink]
@="{00021401-0000-0000-C000-000000000046}"

[HKEY_CLASSES_ROOT\Paint.Picture]
@="Bitmap Image"
"EditFlags"=hex:00,00,01,00

[HKEY_CLASSES_ROOT\Paint.Picture\CLSID]
@="{D3E34B21-9D75-101A-8C3D-00AA001A1652}"

[HKEY_CLASSES_ROOT\Paint.Picture\DefaultIcon]
@="C:\\PROGRA~1\\ACCESS~1\\MSPAINT.EXE,1"

[HKEY_CLASSES_ROOT\Paint.Picture\protocol\StdFileEditing\server]
@="C:\\PROGRA~1\\ACCESS~1\\MSPAINT.EXE"

[HKEY_CLASSES_ROOT\Paint.Picture\protocol\StdFileEditing\verb\0]
@="&Edit"

[HKEY_CLASSES_ROOT\Paint.Picture\shell\open\command]
@="\"C:\\Program Files\\Accessories\\MSPAINT.EXE\" \"%1\""

[HKEY_CLASSES_ROOT\Paint.Picture\shell\print\command]
@="\"C:\\Program Files\\Accessories\\MSPAINT.EXE\" /p \"%1\""

[HKEY_CLASSES_ROOT\Paint.Picture\shell\printto\command]
@="\"C:\\Program Files\\Accessories\\MSPAINT.EXE\" /pt \"%1\" \"%2\" \"%3\" \"%4\""

[HKEY_CLASSES_ROOT\regfile]
@="Registration Entries"
"EditFlags"=hex:00,00,10,00

[HKEY_CLASSES_ROOT\regfile\DefaultIcon]
@="C:\\WINDOWS\\REGEDIT.EXE,1"

[HKEY_CLASSES_ROOT\regfile\shell]
@="open"

[HKEY_CLASSES_ROOT\regfile\shell\edit]
@="&Edit"

[HKEY_CLASSES_ROOT\regfile\shell\edit\command]
@="C:\\WINDOWS\\NOTEPAD.EXE %1"

[HKEY_CLASSES_ROOT\regfile\shell\open]
@="Mer&ge"

[HKEY_CLASSES_ROOT\regfile\shell\open\command]
@="regedit.exe \"%1\""

[HKEY_CLASSES_ROOT\regfile\shell\print\command]
@="C:\\WINDOWS\\NOTEPAD.EXE /p %1"

[HKEY_CLASSES_ROOT\SoundRec]
@="Wave Sound"
"EditFlags"=hex:00,00,01,00

[HKEY_CLASSES_ROOT\SoundRec\CLSID]
@="{00020C01-0000-0000-C000-000000000046}"

[HKEY_CLASSES_ROOT\SoundRec\DefaultIcon]
@="C:\\WINDOWS\\SNDREC32.EXE,1"

[HKEY_CLASSES_ROOT\SoundRec\shell\open\command]
@="C:\\WINDOWS\\SNDREC32.EXE %1"

[HKEY_CLASSES_ROOT\SoundRec\shell\play]
@="&Play"

[HKEY_CLASSES_ROOT\SoundRec\shell\play\command]
@="C:\\WINDOWS\\RUNDLL32.EXE C:\\WINDOWS\\SYSTEM\\amovie.ocx,RunDll /play /close %1"

[HKEY_CLASSES_ROOT\SoundRec\shell\record\command]
@="C:\\WINDOWS\\SNDREC32.EXE %1"

[HKEY_CLASSES_ROOT\txtfile]
@="Text Document"

[HKEY_CLASSES_ROOT\txtfile\DefaultIcon]
@="C:\\WINDOWS\\SYSTEM\\shell32.dll,-152"

[HKEY_CLASSES_ROOT\txtfile\shell\open\command]
@="C:\\WINDOWS\\NOTEPAD.EXE %1"

[HKEY_CLASSES_ROOT\txtfile\shell\print\command]
@="C:\\WINDOWS\\NOTEPAD.EXE /p %1"

[HKEY_CLASSES_ROOT\Unknown]
"EditFlags"=hex:00,00,01,00

[HKEY_CLASSES_ROOT\Unknown\shell]
@="openas"

[HKEY_CLASSES_ROOT\Unknown\shell\openas\command]
@="C:\\WINDOWS\\rundll32.exe shell32.dll,OpenAs_RunDLL %1"

[HKEY_CLASSES_ROOT\WordPad.Document.1]
@="WordPad Document"

[HKEY_CLASSES_ROOT\WordPad.Document.1\CLSID]
@="{73FDDC80-AEA9-101A-98A7-00AA00374959}"

[HKEY_CLASSES_ROOT\WordPad.Document.1\DefaultIcon]
@="C:\\PROGRA~1\\ACCESS~1\\WORDPAD.EXE,1"

[HKEY_CLASSES_ROOT\WordPad.Document.1\protocol\StdFileEditing\server]
@="C:\\PROGRA~1\\ACCESS~1\\WORDPAD.EXE"

[HKEY_CLASSES_ROOT\WordPad.Document.1\protocol\StdFileEditing\verb\0]
@="&Edit"

[HKEY_CLASSES_ROOT\WordPad.Document.1\shell\open\command]
@="\"C:\\Program Files\\Accessories\\WORDPAD.EXE\" \"%1\""

[HKEY_CLASSES_ROOT\WordPad.Document.1\shell\print\command]
@="\"C:\\Program Files\\Accessories\\WORDPAD.EXE\" /p \"%1\""

[HKEY_CLASSES_ROOT\WordPad.Document.1\shell\printto\command]
@="\"C:\\Program Files\\Accessories\\WORDPAD.EXE\" /pt \"%1\" \"%2\" \"%3\" \"%4\""

[HKEY_CLASSES_ROOT\wrifile]
@="Write Document"

[HKEY_CLASSES_ROOT\wrifile\DefaultIcon]
@="C:\\WINDOWS\\WRITE.EXE,1"

[HKEY_CLASSES_ROOT\wrifile\shell\open\command]
@="C:\\WINDOWS\\WRITE.EXE %1"

[HKEY_CLASSES_ROOT\wrifile\shell\print\command]
@="C:\\WINDOWS\\WRITE.EXE /p %1"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion]
"BootCount"="3"
"CommonFilesDir"="C:\\Program Files\\Common Files"
"ConfigPath"="C:\\WINDOWS\\config"
"DevicePath"="C:\\WINDOWS\\INF"
"FirstInstallDateTime"=hex:@@INSTALL_DATE@@
"LicensingInfo"=""
"MediaPath"="C:\\WINDOWS\\MEDIA"
"OtherDevicePath"="C:\\WINDOWS\\INF\\OTHER"
"ProductId"="10598-OEM-0039816-35713"
"ProductName"="Microsoft Windows 98"
"ProgramFilesDir"="C:\\Program Files"
"ProgramFilesPath"="C:\\Program Files"
"RegisteredOrganization"="Home"
"RegisteredOwner"="User"
"SubVersionNumber"=" "
"SystemRoot"="C:\\WINDOWS"
"Version"="Windows 98"
"VersionNumber"="4.10.1998"
"WallPaperDir"="C:\\WINDOWS\\Web\\Wallpaper"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\App Paths\MSPAINT.EXE]
@="C:\\Program Files\\Accessories\\MSPAINT.EXE"
"Path"="C:\\Program Files\\Accessories"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\App Paths\WORDPAD.EXE]
@="C:\\Program Files\\Accessories\\WORDPAD.EXE"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\explorer\Desktop\NameSpace\{645FF040-5081-101B-9F08-00AA002F954E}]
@="Recycle Bin"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\explorer\MyComputer\cleanuppath]
@="C:\\WINDOWS\\SYSTEM\\cleanmgr.exe /D %c"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\explorer\ShellExecuteHooks]
"{AEB6717E-7E19-11d0-97EE-00C04FD91972}"=""

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Run]
"LoadPowerProfile"="Rundll32.exe powrprof.dll,LoadCurrentPwrScheme"
"ScanRegistry"="C:\\WINDOWS\\scanregw.exe /autorun"
"SystemTray"="SysTray.Exe"
"TaskMonitor"="C:\\WINDOWS\\taskmon.exe"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Setup]
"BootDir"="C:\\"
"SetupScratchDir"="C:\\WININST0.400"
"SharedDir"="C:\\WINDOWS"
"SourcePath"="C:\\WINDOWS\\OPTIONS\\CABS"
"SysDir"="C:\\WINDOWS\\SYSTEM"
"WinbootDir"="C:\\WINDOWS"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ComputerName\ComputerName]
"ComputerName"="WIN98"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\FileSystem]
"Win31FileSystem"=hex:00
"Win95TruncatedExtensions"=hex:01

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\FileSystem\CDFS]
"CacheSize"=hex:3c,05,00,00
"Prefetch"=hex:e4,00,00,00
"PrefetchTail"=hex:e4,00,00,00

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Nls\Codepage]
"ACP"="1252"
"OEMCP"="437"
'''.replace("@@INSTALL_DATE@@", INSTALL_DATE)

USER = r'''
[HKEY_CURRENT_USER\AppEvents\EventLabels\.Default]
@="Default sound"

[HKEY_CURRENT_USER\AppEvents\EventLabels\SystemExit]
@="Exit Windows"

[HKEY_CURRENT_USER\AppEvents\EventLabels\SystemStart]
@="Start Windows"

[HKEY_CURRENT_USER\AppEvents\Schemes\Apps\.Default]
@="Windows"

[HKEY_CURRENT_USER\AppEvents\Schemes\Apps\.Default\.Default\.Current]
@="C:\\WINDOWS\\MEDIA\\Ding.wav"

[HKEY_CURRENT_USER\AppEvents\Schemes\Apps\.Default\.Default\.Default]
@="C:\\WINDOWS\\MEDIA\\Ding.wav"

[HKEY_CURRENT_USER\AppEvents\Schemes\Apps\.Default\SystemExit\.Current]
@="C:\\WINDOWS\\MEDIA\\The Microsoft Sound.wav"

[HKEY_CURRENT_USER\AppEvents\Schemes\Apps\.Default\SystemStart\.Current]
@="C:\\WINDOWS\\MEDIA\\The Microsoft Sound.wav"

[HKEY_CURRENT_USER\AppEvents\Schemes\Names\.Default]
@="Windows Default"

[HKEY_CURRENT_USER\AppEvents\Schemes\Names\.None]
@="No Sounds"

[HKEY_CURRENT_USER\Control Panel\Colors]
"ActiveBorder"="192 192 192"
"ActiveTitle"="0 0 128"
"AppWorkspace"="128 128 128"
"Background"="0 128 128"
"ButtonDkShadow"="0 0 0"
"ButtonFace"="192 192 192"
"ButtonHilight"="255 255 255"
"ButtonLight"="192 192 192"
"ButtonShadow"="128 128 128"
"ButtonText"="0 0 0"
"GradientActiveTitle"="16 132 208"
"GradientInactiveTitle"="192 192 192"
"GrayText"="128 128 128"
"Hilight"="0 0 128"
"HilightText"="255 255 255"
"InactiveBorder"="192 192 192"
"InactiveTitle"="128 128 128"
"InactiveTitleText"="192 192 192"
"InfoText"="0 0 0"
"InfoWindow"="255 255 225"
"Menu"="192 192 192"
"MenuText"="0 0 0"
"Scrollbar"="192 192 192"
"TitleText"="255 255 255"
"Window"="255 255 255"
"WindowFrame"="0 0 0"
"WindowText"="0 0 0"

[HKEY_CURRENT_USER\Control Panel\Desktop]
"CoolSwitch"="1"
"CoolSwitchColumns"="7"
"CoolSwitchRows"="3"
"FontSmoothing"="0"
"HungAppTimeout"="5000"
"MenuShowDelay"="400"
"Pattern"="(None)"
"ScreenSaveActive"="0"
"SmoothScroll"=hex:01,00,00,00
"TileWallpaper"="0"
"UserPreferencemask"=hex:be,00,00,00
"WaitToKillAppTimeout"="20000"
"Wallpaper"="(None)"
"WallpaperStyle"="0"

[HKEY_CURRENT_USER\Control Panel\Desktop\ResourceLocale]
@="00000409"

[HKEY_CURRENT_USER\Control Panel\Desktop\WindowMetrics]
"BorderWidth"="-15"
"CaptionFont"=hex:@@CaptionFont@@
"CaptionHeight"="-270"
"CaptionWidth"="-270"
"IconFont"=hex:@@IconFont@@
"IconSpacing"="-1125"
"IconVerticalSpacing"="-1125"
"MenuFont"=hex:@@MenuFont@@
"MenuHeight"="-270"
"MenuWidth"="-270"
"MessageFont"=hex:@@MessageFont@@
"MinAnimate"="1"
"ScrollHeight"="-240"
"ScrollWidth"="-240"
"Shell Icon BPP"="16"
"Shell Icon Size"="32"
"SmCaptionFont"=hex:@@SmCaptionFont@@
"SmCaptionHeight"="-180"
"SmCaptionWidth"="-180"
"StatusFont"=hex:@@StatusFont@@

[HKEY_CURRENT_USER\Control Panel\International]
"Locale"="00000409"

[HKEY_CURRENT_USER\Control Panel\Mouse]
"DoubleClickSpeed"="500"
"MouseSpeed"="1"
"MouseThreshold1"="6"
"MouseThreshold2"="10"

[HKEY_CURRENT_USER\Control Panel\Sound]
"Beep"="yes"
"ExtendedSounds"="yes"

[HKEY_CURRENT_USER\Keyboard Layout\preload\1]
@="00000409"

[HKEY_CURRENT_USER\Software\Microsoft\Internet Explorer\Main]
"Search Page"="http://home.microsoft.com/access/allinone.asp"
"Start Page"="http://home.microsoft.com/"

[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer]
"link"=hex:1e,00,00,00

[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\Advanced]
"ClassicViewState"=dword:00000000
"Hidden"=dword:00000002
"HideFileExt"=dword:00000001
"ShowInfoTip"=dword:00000001
"WebView"=dword:00000001

[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\MenuOrder\Favorites]
"Order"=hex:@@ORDER_FAVORITES@@

[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\MenuOrder\Start Menu\&Programs]
"Order"=hex:@@ORDER_PROGRAMS@@

[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\MenuOrder\Start Menu\&Programs\Accessories]
"Order"=hex:@@ORDER_ACCESSORIES@@

[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders]
"AppData"="C:\\WINDOWS\\Application Data"
"Cache"="C:\\WINDOWS\\Temporary Internet Files"
"Cookies"="C:\\WINDOWS\\Cookies"
"Desktop"="C:\\WINDOWS\\Desktop"
"Favorites"="C:\\WINDOWS\\Favorites"
"Fonts"="C:\\WINDOWS\\FONTS"
"History"="C:\\WINDOWS\\History"
"NetHood"="C:\\WINDOWS\\NetHood"
"Personal"="C:\\My Documents"
"PrintHood"="C:\\WINDOWS\\PrintHood"
"Programs"="C:\\WINDOWS\\Start Menu\\Programs"
"Recent"="C:\\WINDOWS\\Recent"
"SendTo"="C:\\WINDOWS\\SendTo"
"Start Menu"="C:\\WINDOWS\\Start Menu"
"Startup"="C:\\WINDOWS\\Start Menu\\Programs\\StartUp"
"Templates"="C:\\WINDOWS\\ShellNew"

[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Policies\Explorer]
"NoDriveTypeAutoRun"=hex:95,00,00,00
'''
for _name, _hex in dict(FONTS, ORDER_PROGRAMS=ORDER_PROGRAMS, ORDER_ACCESSORIES=ORDER_ACCESSORIES,
                        ORDER_FAVORITES=ORDER_FAVORITES).items():
    USER = USER.replace("@@" + _name + "@@", _hex)
assert "@@" not in SYSTEM + USER

# ---------------------------------------------------------------------------------------------
# REGEDIT4 reader (the subset used above)

ROOTS = {
    "HKEY_CLASSES_ROOT": ("system", ["Software", "Classes"]),
    "HKEY_LOCAL_MACHINE": ("system", []),
    "HKEY_CURRENT_USER": ("user", []),
}


def unescape_regedit(s):
    out, i = [], 0
    while i < len(s):
        if s[i] == "\\":
            out.append(s[i + 1])
            i += 2
        else:
            out.append(s[i])
            i += 1
    return "".join(out)


def read_regedit(text):
    """Yields (file, path components, [(name, type, bytes)]) per key, in the order written."""
    keys = []
    cur = None
    for line in text.splitlines():
        if not line.strip():
            continue
        if line.startswith("["):
            full = line[1:-1].split("\\")
            file, prefix = ROOTS[full[0]]
            cur = (file, prefix + full[1:], [])
            keys.append(cur)
            continue
        m = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)
        assert m, line
        name = "" if m.group(1) == "@" else unescape_regedit(m.group(2))
        data = m.group(3)
        if data.startswith('"'):
            assert data.endswith('"'), line
            s = unescape_regedit(data[1:-1])
            cur[2].append((name, 1, (s + "\0").encode("utf-16-le")))
        elif data.startswith("dword:"):
            cur[2].append((name, 4, int(data[6:], 16).to_bytes(4, "little")))
        elif data.startswith("hex:"):
            body = data[4:]
            cur[2].append((name, 3, bytes(int(x, 16) for x in body.split(",")) if body else b""))
        else:
            raise ValueError(line)
    return keys


# ---------------------------------------------------------------------------------------------
# Wine's writer


class Key:
    def __init__(self, name):
        self.name = name
        self.subkeys = {}   # folded name -> Key
        self.values = {}    # folded name -> (name, type, data)
        self.modif = 0


def fold(name):
    # Wine folds to lower case; the seed is ASCII, so str.lower() is that table. Python compares
    # strings unit by unit with the shorter first on an equal prefix, as Wine does.
    assert all(ord(c) < 128 for c in name)
    return name.lower()


def escape(s, delims):
    """Wine's string escaping (reference: "Escaping (writer)")."""
    units = s.encode("utf-16-le")
    units = [units[i] | (units[i + 1] << 8) for i in range(0, len(units), 2)]
    letters = {7: "a", 8: "b", 9: "t", 10: "n", 11: "v", 12: "f", 13: "r", 27: "e"}
    out = []
    for i, c in enumerate(units):
        nxt = units[i + 1] if i + 1 < len(units) else None
        if c > 127:
            if nxt is not None and nxt < 128 and chr(nxt) in "0123456789abcdefABCDEF":
                out.append("\\x%04x" % c)
            else:
                out.append("\\x%x" % c)
        elif c < 32:
            if c in letters:
                out.append("\\" + letters[c])
            elif nxt is not None and 0x30 <= nxt <= 0x37:
                out.append("\\%03o" % c)
            else:
                out.append("\\%o" % c)
        else:
            ch = chr(c)
            if ch == "\\" or ch in delims:
                out.append("\\")
            out.append(ch)
    return "".join(out)


def dump_value(name, typ, data):
    if name:
        head = '"' + escape(name, '"') + '"='
    else:
        head = "@="
    if typ in (1, 2, 7) and len(data) >= 2 and len(data) % 2 == 0 and data[-2:] == b"\0\0":
        text = data[:-2].decode("utf-16-le", errors="surrogatepass")
        prefix = "" if typ == 1 else "str(%x):" % typ
        return head + prefix + '"' + escape(text, '"') + '"\n'
    if typ == 4 and len(data) == 4:
        return head + "dword:%08x\n" % int.from_bytes(data, "little")
    kind = "hex:" if typ == 3 else "hex(%x):" % typ
    out = head + kind
    count = len(out)
    for i, b in enumerate(data):
        out += "%02x" % b
        count += 2
        if i < len(data) - 1:
            out += ","
            count += 1
            if count > 76:
                out += "\\\n  "
                count = 2
    return out + "\n"


def save_subkeys(key, path, out):
    has_sub = bool(key.subkeys)
    if path and (key.values or not has_sub):
        secs = (key.modif - TICKS_1601_TO_1970) // TICKS_PER_SECOND
        out.append("\n[" + "\\\\".join(escape(p, "[]") for p in path) + "] %u\n" % secs)
        out.append("#time=%x%08x\n" % (key.modif >> 32, key.modif & 0xFFFFFFFF))
        for f in sorted(key.values):
            out.append(dump_value(*key.values[f]))
    for f in sorted(key.subkeys):
        sub = key.subkeys[f]
        save_subkeys(sub, path + [sub.name], out)


def filetime(dt):
    return TICKS_1601_TO_1970 + int(dt.replace(tzinfo=datetime.timezone.utc).timestamp()) * TICKS_PER_SECOND


def build(file, comment, start):
    """The file's text. Keys get their times in the order they are listed above, a little apart,
    as setup wrote them; sub-second parts vary as real #time lines do."""
    root = Key("")
    keys = [k for k in read_regedit(SYSTEM) + read_regedit(USER) if k[0] == file]
    t = filetime(start)
    for n, (_, path, values) in enumerate(keys):
        node = root
        for comp in path:
            node = node.subkeys.setdefault(fold(comp), Key(comp))
        for name, typ, data in values:
            assert fold(name) not in node.values, (path, name)
            node.values[fold(name)] = (name, typ, data)
        t += 1_700_000 + (n * 7_919_311) % 23_000_000  # 0.17 .. 2.5 s apart
        node.modif = t
    out = ["WINE REGISTRY Version 2\n", ";; All keys relative to " + comment + "\n",
           "\n#arch=win32\n"]
    save_subkeys(root, [], out)
    return "".join(out), len(keys)


def main():
    system, ns = build("system", "\\\\Machine", datetime.datetime(1998, 8, 14, 10, 21, 4))
    user, nu = build("user", "\\\\User\\\\S-1-5-21-0-0-0-1000",
                     datetime.datetime(1998, 8, 14, 10, 46, 51))
    for name, text in (("system.reg", system), ("user.reg", user)):
        with open(os.path.join(HERE, name), "w", encoding="ascii", newline="\n") as f:
            f.write(text)
    print("system.reg: %d keys, user.reg: %d keys" % (ns, nu), file=sys.stderr)


if __name__ == "__main__":
    main()
