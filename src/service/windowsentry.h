#pragma once

// The Windows process entry: the wide command line split into words and handed to the
// portable main as ANSI code page text. Qt-free, Windows only (windowsentry_win.cpp).

using MainFunction = int (*)(int argc, char **argv);

// Splits commandLine as CommandLineToArgvW does, converts every word with CP_ACP, calls
// mainFunction with a null-terminated argv that stays valid until it returns, and returns its
// result. -1 without calling it when the line cannot be split or converted.
int runMainWithCommandLine(const wchar_t *commandLine, MainFunction mainFunction);
