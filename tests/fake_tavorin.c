/* Test helper: a Windows program that plays Tavorin under Wine. It reads the
 * five settings from the Setup.ini in its own folder, as Tavorin does, and
 * appends to started.log beside it one line of what it saw:
 *
 *   <settings>|show=<state>|cwd=<folder>|cmd=<command line>|c=<drive C:>
 *
 * The show state is the one it was started with (-1 when none was given),
 * and drive C: is named by its Unix folder, which tells the Wine prefix.
 *
 * Built with LIBRARY, it is instead a library that the program built with
 * NEEDS_LIBRARY calls, so that that one cannot start where the library is
 * missing. */
#include <windows.h>

#ifdef LIBRARY
__declspec(dllexport) int tavorin_library(void) { return 0; }
#else
#ifdef NEEDS_LIBRARY
__declspec(dllimport) int tavorin_library(void);
#endif

#include <stdio.h>
#include <string.h>

int main(void)
{
    static const char *const keys[] = {"UseCard", "UseDepth", "SyncRate", "ShowHelp", "ShowMode"};
    static const int defaults[] = {1, 16, 0, 1, 1};
    char folder[MAX_PATH], ini[MAX_PATH + 16], log[MAX_PATH + 16], cwd[MAX_PATH];
    typedef char *(CDECL * UnixName)(const WCHAR *);
    UnixName unixName
        = (UnixName)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    STARTUPINFOA startup;
    FILE *out;
    int i;

#ifdef NEEDS_LIBRARY
    if (tavorin_library() != 0)
        return 1;
#endif
    GetModuleFileNameA(NULL, folder, sizeof folder);
    *strrchr(folder, '\\') = '\0';
    snprintf(ini, sizeof ini, "%s\\Setup.ini", folder);
    snprintf(log, sizeof log, "%s\\started.log", folder);
    GetStartupInfoA(&startup);
    GetCurrentDirectoryA(sizeof cwd, cwd);

    out = fopen(log, "ab");
    if (!out)
        return 1;
    for (i = 0; i < 5; ++i)
        fprintf(out, "%s%s=%d", i ? " " : "", keys[i],
                (int)GetPrivateProfileIntA("Tavorin", keys[i], defaults[i], ini));
    fprintf(out, "|show=%d|cwd=%s|cmd=%s|c=%s\n",
            (startup.dwFlags & STARTF_USESHOWWINDOW) ? (int)startup.wShowWindow : -1, cwd, GetCommandLineA(),
            unixName ? unixName(L"C:\\") : "?");
    return fclose(out) == 0 ? 0 : 1;
}
#endif
