#include "app/nodes.h"

#include <QTreeWidgetItem>

#include <QHash>
#include <stdexcept>

#include "app/toolkit.h"

namespace qv {

const std::array<NodeInfo, kNodeCount> kNodes = {{
    {1, "Root", "Quorvel", nullptr, 1},
    {2, "Explorer", "Explorer", "Root", 2},
    {3, "Explorer$MenuItems", "Menu Items", "Explorer", 2},
    {4, "Explorer$MenuItems$ExploreFromHere", "Explore From Here", "Explorer$MenuItems", 4},
    {5, "Explorer$MenuItems$MSDOSPrompt", "MSDOS Prompt on Directories", "Explorer$MenuItems", 4},
    {6, "Explorer$MenuItems$AddtoallFiles", "Add to all Files", "Explorer$MenuItems", 4},
    {7, "Explorer$Network", "Network", "Explorer", 2},
    {8, "Explorer$Network$OverlayIcon", "Overlay Icon", "Explorer$Network", 4},
    {9, "Explorer$Shotcuts", "Shortcuts", "Explorer", 2},
    {10, "Explorer$Shotcuts$Overlay", "Overlay", "Explorer$Shotcuts", 4},
    {11, "Explorer$Shotcuts$Prefix", "Prefix", "Explorer$Shotcuts", 4},
    {12, "Explorer$Visual", "Visual", "Explorer", 2},
    {13, "Explorer$Visual$SaveSettings", "Save Settings", "Explorer$Visual", 4},
    {14, "Explorer$Visual$ShowBitmaps", "Show Bitmaps as Icons", "Explorer$Visual", 4},
    {15, "Explorer$ExploreAsDefault", "Explore as Default", "Explorer", 4},
    {16, "Explorer$HideDrives", "Hide Drives", "Explorer", 4},
    {17, "Explorer$New", "'New' Menu", "Explorer", 4},
    {18, "Explorer$NonAssociatedFiles", "Non-associated Files", "Explorer", 4},
    {19, "General", "General", "Root", 2},
    {20, "General$Autoplay", "Autoplay", "General", 2},
    {21, "General$Autoplay$AudioCD", "Audio CD's", "General$Autoplay", 4},
    {22, "General$Autoplay$MediaTypes", "Media Types", "General$Autoplay", 4},
    {23, "General$ClickHereToBegin", "'Click Here to Begin'", "General", 4},
    {24, "General$WindowAnimation", "Window Animation", "General", 4},
    {25, "StartMenu", "Start Menu", "Root", 2},
    {26, "StartMenu$MenuSpeed", "Menu Speed", "StartMenu", 4},
    {27, "StartMenu$MenuOrder", "Menu Order", "StartMenu", 4},
    {28, "System", "System", "Root", 2},
    {29, "System$BeepErrors", "Beep on Errors", "System", 4},
    {30, "System$DisableTilde", "Disable ~ on Short File Names", "System", 4},
    {31, "System$RegistrationInformation", "Registration Information", "System", 4},
    {32, "System$SetupPath", "Setup Path", "System", 4},
    {33, "System$TaskManager", "Task Manager", "System", 4},
}};

const NodeInfo* nodeByKey(const QString& key) {
    for (const NodeInfo& n : kNodes)
        if (key == QLatin1String(n.key))
            return &n;
    return nullptr;
}

const NodeInfo* nodeByIndex(int index) {
    return index >= 1 && index <= kNodeCount ? &kNodes[index - 1] : nullptr;
}

int nodeIndexOf(const QTreeWidgetItem* item) { return item ? item->data(0, kNodeRole).toInt() : 0; }

QString helpAnchor(int index) {
    const NodeInfo* n = nodeByIndex(index);
    return n ? QString::fromLatin1(n->key).replace(QLatin1Char('$'), QLatin1Char('-')) : QString();
}

namespace tk {

QString LoadResString(int id) {
    static const QHash<int, QString> strings = {
        {9, QStringLiteral("Welcome to the Quorvel.  Select an item from the list on the left to configure its respective options.")},
        {10, QStringLiteral("The Explorer settings configure the way Windows Explorer looks, acts, and feels.")},
        {11, QStringLiteral(" ")},
        {12, QStringLiteral("The Explore From Here menu option adds the command to run a 'rooted' windows explorer to the context sensative menu of all folders.")},
        {13, QStringLiteral("MSDOS Prompt on Directories will add a command to start an MSDOS prompt and change the current directory to the directory you execute this command from.")},
        {14, QStringLiteral("Use this option to add a command to all files.  You may wish to add Notepad for example so you can quickly right click a file and open it in notepad with one click.")},
        {15, QStringLiteral(" ")},
        {16, QStringLiteral("Explorer by default uses a small hand to show files, folders, and shared devices.  You can change this overlay icon using this option.")},
        {17, QStringLiteral(" ")},
        {18, QStringLiteral("All shortcuts have a small arrow to denote the fact that they are shortcuts.  You can change the icon used by Windows for this overlay.")},
        {19, QStringLiteral("When you create new shortcuts the text 'Shortcut to' is by default prepended to the name of the file.")},
        {20, QStringLiteral(" ")},
        {21, QStringLiteral("When you exit windows it saves your settings by default.  If you turn this off, windows will quite saving your settings (for example, the location of desktop icons.)")},
        {22, QStringLiteral("You can make Windows Explorer show bitmaps as an icon of themselves rather then using the default icon for bitmaps.")},
        {23, QStringLiteral("You can set Windows Explorer up to run in Explorer mode by default opposed to showing the normal folder view.")},
        {24, QStringLiteral("It is possible to force windows not to show certain drives.")},
        {25, QStringLiteral("When you right click in Windows Explorer a menu is shown with a submenu called 'New' to create new files and folders.  This lets you edit the items in that submenu.")},
        {26, QStringLiteral("Windows will open an 'Application Selector' program if you double click a file that has no associations.  Changing the program used is easy with this option.")},
        {27, QStringLiteral("General Windows options.")},
        {28, QStringLiteral(" ")},
        {29, QStringLiteral("When you insert an Audio CD you can make it 'autoplay,' Windows will automatically run the CD Player for audio CDs.")},
        {30, QStringLiteral("You can make any disk autoplay when you insert the disk according to the file called 'autorun.inf' on the root of the disk.  Select which types of drives should support autorun.")},
        {31, QStringLiteral("Each time Windows it started it will show an animated 'Click here to begin' on the task bar.")},
        {32, QStringLiteral("Minimizing and Maximizing applications can either drop directly into the task bar, or they can be animated as they scale down into it.")},
        {33, QStringLiteral("Start Menu options.")},
        {34, QStringLiteral("The speed menu items come out at when you hold the mouse over them can be configured.")},
        {35, QStringLiteral("Windows 98, or Windows 95 with IE4+ installed, let you change the order of Start Menu items to whatever you like rather then alphabetical order.  This lets you reset the order.")},
        {36, QStringLiteral("System options.")},
        {37, QStringLiteral("Your system will beep on errors if you would like it to, or you can make it so it does not make sound.")},
        {38, QStringLiteral("Disabling the tilde (~) on short file names will make Windows convert 'Program Files' to 'Programf' instead of 'Progra~1' like it does normally.")},
        {39, QStringLiteral("This information is shown on the system control panel and in the About box of Windows Explorer (and numerous other Microsoft programs.)")},
        {40, QStringLiteral("This is the path Windows looks in by default for its CAB files.  Normally these are on the Windows CD.  They are required to install new programs in Add/Remove programs amongst other things like Network support.")},
        {41, QStringLiteral("The Task Manager options include the timeout for applications that have stopped responding, and other options like ALT-TAB task switching columns and rows to show.")},
    };
    const auto it = strings.constFind(id);
    if (it == strings.constEnd())
        throw ControlError("Resource with identifier '" + std::to_string(id) + "' not found");
    return *it;
}

}  // namespace tk
}  // namespace qv
