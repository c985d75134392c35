// The program's own icons. On Windows they would be resources of its executable; here the program
// serves them itself whenever an icon location names its own executable, so that the locations
// stored in the registry keep the form a Windows installation would give them:
//   0  the application icon (the folder)      2  the empty overlay (all transparent)
//   1  the light arrow overlay                3  the application icon again (numbered 1)
// Every other icon location is read from the host file behind its Windows path.
#pragma once

#include <QByteArray>
#include <QImage>
#include <filesystem>
#include <optional>
#include <vector>
#include <string>
#include <string_view>

#include "shell/icondraw.h"

namespace qv::shell {

inline constexpr int kOwnIconCount = 4;

// The folder the program runs from as a Windows path of the current machine, "\", the program's
// file name without extension, ".exe". A folder no drive letter reaches is named on Z:, the drive
// Wine gives the host's root.
std::string OwnExecutablePath();
// Whether a Windows path names the own executable; letter case does not count.
bool isOwnExecutable(std::string_view windowsPath);

// The overlay icons as files of the machine, so that Windows and Wine can load them too:
// <Windows folder>\Quorvel\LightArrow.ico and Blank.ico, each one icon (index 0).
std::string LightArrowIconPath();
std::string BlankIconPath();
// 0 for no own overlay, 1 the light arrow, 2 the blank overlay, for a stored icon location: the
// files above with index 0 (or none), or the older "<folder>\quorvel.exe,1" / ",2" form, whatever
// its folder; letter case does not count.
int ownOverlayOf(std::string_view location);
// A .ico file of one 32x32 image (32-bit colour with its AND mask).
QByteArray icoFile(const ShellIcon& icon);
// Writes both overlay files into the current machine's Windows folder (creating the folder),
// leaving files that already hold the same bytes alone; *created lists the files and folders
// that did not exist before, newest last. False with *error when it cannot.
bool writeOwnOverlayFiles(std::string* error, std::vector<std::filesystem::path>* created);

// The application icon's pictures (32x32 and 16x16); fully transparent pixels become the mask.
// The window hands them over once; until then icons 0 and 3 are missing.
void setApplicationIconImages(const QImage& large, const QImage& small);

// The own icon at an index with the usual index rules: 0..3 by position, -1 the icon numbered 1
// (index 3); anything else is no icon.
std::optional<ExtractedIcon> ownIcon(int index);
ShellIcon lightArrowIcon();    // 32x32
ShellIcon emptyOverlayIcon();  // 32x32

// An icon a location names: the own executable's from memory, any other file read through the
// machine's drive letters. Nothing for a path no drive reaches, a missing file or no such icon.
std::optional<ExtractedIcon> extractIconAt(std::string_view windowsPath, int index);
int iconCountAt(std::string_view windowsPath);

}  // namespace qv::shell
