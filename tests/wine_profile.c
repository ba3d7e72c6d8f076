/* Test helper, a Windows console program run under Wine: calls the Windows
 * profile functions that Tavorin uses, as told on standard input, one
 * command a line, and prints each result on a line of its own:
 *
 *   R <section> <key> <default> <path>   GetPrivateProfileIntA's number
 *   W <section> <key> <value> <path>     WritePrivateProfileStringA's flag
 *   S <path>                             every section, in order, and its entries,
 *                                        from GetPrivateProfileSectionNamesA and
 *                                        GetPrivateProfileSectionA: "<name>=<entries>"
 *                                        for each, then "."
 *
 * Section, key and value are given as hexadecimal bytes ("." when empty),
 * the path as a Windows path, to the end of the line. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char line[1 << 16];

/* Decodes the hexadecimal word at *cursor into out and moves past it. */
static int word(char **cursor, char *out, size_t room)
{
    char *text = *cursor;
    size_t n = 0;
    while (*text == ' ')
        ++text;
    if (*text == '.') {
        ++text;
    } else {
        while (text[0] && text[0] != ' ' && text[1] && text[1] != ' ') {
            unsigned byte;
            if (n + 1 >= room || sscanf(text, "%2x", &byte) != 1)
                return 0;
            out[n++] = (char)byte;
            text += 2;
        }
    }
    out[n] = '\0';
    *cursor = text;
    return 1;
}

static void printHex(const char *bytes, size_t size)
{
    size_t i;
    if (size == 0)
        putchar('.');
    for (i = 0; i < size; ++i)
        printf("%02x", (unsigned char)bytes[i]);
}

int main(void)
{
    static char section[4096], key[4096], value[8192], names[1 << 16], entries[1 << 16];
    setvbuf(stdout, NULL, _IOFBF, 1 << 16);
    while (fgets(line, sizeof line, stdin)) {
        char *cursor = line + 1;
        long fallback = 0;
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == 'S') {
            char *name;
            names[GetPrivateProfileSectionNamesA(names, sizeof names, line + 2)] = '\0';
            for (name = names; *name; name += strlen(name) + 1) {
                printHex(name, strlen(name));
                putchar('=');
                printHex(entries, GetPrivateProfileSectionA(name, entries, sizeof entries, line + 2));
                putchar(' ');
            }
            printf(".\n");
            continue;
        }
        if (!word(&cursor, section, sizeof section) || !word(&cursor, key, sizeof key)
            || (line[0] == 'R' ? (fallback = strtol(cursor, &cursor, 10), 0) : !word(&cursor, value, sizeof value))) {
            printf("bad command\n");
            continue;
        }
        cursor += strspn(cursor, " ");
        if (line[0] == 'R')
            printf("%d\n", (int)GetPrivateProfileIntA(section, key, (INT)fallback, cursor));
        else
            printf("%d\n", WritePrivateProfileStringA(section, key, value, cursor) ? 1 : 0);
    }
    return 0;
}
