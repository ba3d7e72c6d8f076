/* Plays Tavorin in the benchmark of Run against a typed "wine start": a
 * Windows program with a window titled "Tavorin", shown as it is asked to
 * be (minimized, by "start /min"), which closes itself a second later. */
#include <windows.h>

static LRESULT CALLBACK handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_TIMER)
        DestroyWindow(window);
    else if (message == WM_DESTROY)
        PostQuitMessage(0);
    else
        return DefWindowProcW(window, message, wparam, lparam);
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show)
{
    (void)previous;
    (void)command;
    WNDCLASSW kind = {0};
    kind.lpfnWndProc = handle;
    kind.hInstance = instance;
    kind.lpszClassName = L"Tavorin";
    RegisterClassW(&kind);
    HWND window = CreateWindowW(L"Tavorin", L"Tavorin", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320, 240,
                                NULL, NULL, instance, NULL);
    ShowWindow(window, show);
    UpdateWindow(window);
    SetTimer(window, 1, 1000, NULL);
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
