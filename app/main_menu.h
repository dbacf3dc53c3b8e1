#pragma once
// The window's menu bar and its shortcuts: File (Open Ctrl+O, recent
// tables, Export Ctrl+Shift+E, Close Ctrl+W, Quit Ctrl+Q), Edit (Find
// Ctrl+F, Find next F3, Find previous Shift+F3, Go to record Ctrl+G, Copy
// cells Ctrl+C), View (Structure Ctrl+I, Show deleted records, Code page,
// Order), Table (Recall record Ctrl+R, Pack, Regenerate indexes). Each
// command calls the window; the menus hold no logic.

class QMenuBar;
class TfrMain;

QMenuBar* CreateMainMenu(TfrMain& window);
