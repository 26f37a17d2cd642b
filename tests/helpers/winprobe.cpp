// Window probe for the end-to-end tests.
//   winprobe find  <class|-> <title|-> <timeout ms>   prints one line:
//        found|<title>|<class>|<width>|<height>|<visible>|<child texts joined by ';'>|<left>|<top>
//   winprobe close <class|-> <title|-> <timeout ms>   finds, then sends WM_CLOSE
//   winprobe shown <class|-> <title|-> <timeout ms>   waits until it is visible
//   winprobe press <class|-> <title|-> <timeout ms>   finds a dialog, presses OK
//   winprobe click <class|-> <title|-> <timeout ms> <button text>   clicks that child button
//   winprobe key   <class|-> <title|-> <timeout ms> <virtual key>   posts the key to the child with focus
//                                                                     (its first button when none has)
// After the top's field, the children: <class>^<text>^<extra> joined by ';',
// the extra of a progress bar being <low>-<high>-<position>-<marquee 0|1>.
// Exit code 0 when found, 1 when the timeout passed first.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Query {
  const char* cls;
  const char* title;
  bool visibleOnly;
  HWND found;
};

BOOL CALLBACK Match(HWND window, LPARAM lParam) {
  Query* q = reinterpret_cast<Query*>(lParam);
  char cls[256] = {}, title[256] = {};
  GetClassNameA(window, cls, sizeof cls);
  GetWindowTextA(window, title, sizeof title);
  if (q->cls && strcmp(cls, q->cls) != 0) return TRUE;
  if (q->title && strcmp(title, q->title) != 0) return TRUE;
  if (q->visibleOnly && !IsWindowVisible(window)) return TRUE;
  q->found = window;
  return FALSE;
}

BOOL CALLBACK ChildText(HWND window, LPARAM lParam) {
  std::string* out = reinterpret_cast<std::string*>(lParam);
  char text[512] = {};
  GetWindowTextA(window, text, sizeof text);
  if (text[0]) {
    if (!out->empty()) *out += ";";
    *out += text;
  }
  return TRUE;
}

BOOL CALLBACK ChildInfo(HWND window, LPARAM lParam) {
  std::string* out = reinterpret_cast<std::string*>(lParam);
  char cls[256] = {}, text[512] = {}, extra[64] = "";
  GetClassNameA(window, cls, sizeof cls);
  GetWindowTextA(window, text, sizeof text);
  if (_stricmp(cls, "msctls_progress32") == 0) {
    // Values by return, not through pointers, which do not cross processes.
    snprintf(extra, sizeof extra, "%ld-%ld-%ld-%d", static_cast<long>(SendMessageA(window, PBM_GETRANGE, TRUE, 0)),
             static_cast<long>(SendMessageA(window, PBM_GETRANGE, FALSE, 0)),
             static_cast<long>(SendMessageA(window, PBM_GETPOS, 0, 0)),
             (GetWindowLongA(window, GWL_STYLE) & PBS_MARQUEE) ? 1 : 0);
  }
  if (!out->empty()) *out += ";";
  *out += std::string(cls) + "^" + text + "^" + extra;
  return TRUE;
}

struct ButtonQuery {
  const char* text;
  HWND found;
};

BOOL CALLBACK MatchButton(HWND window, LPARAM lParam) {
  ButtonQuery* q = reinterpret_cast<ButtonQuery*>(lParam);
  char cls[64] = {}, text[256] = {};
  GetClassNameA(window, cls, sizeof cls);
  GetWindowTextA(window, text, sizeof text);
  if (_stricmp(cls, "Button") != 0 || (q->text && strcmp(text, q->text) != 0)) return TRUE;
  q->found = window;
  return FALSE;
}

HWND Find(const char* cls, const char* title, bool visibleOnly, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    Query q = {cls, title, visibleOnly, nullptr};
    EnumWindows(Match, reinterpret_cast<LPARAM>(&q));
    if (q.found) return q.found;
    if (GetTickCount() - start > timeoutMs) return nullptr;
    Sleep(50);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: winprobe find|close|press <class|-> <title|-> <timeout ms>\n");
    return 2;
  }
  const char* cls = strcmp(argv[2], "-") ? argv[2] : nullptr;
  const char* title = strcmp(argv[3], "-") ? argv[3] : nullptr;
  // Every action but "find" waits for a visible window.
  HWND window = Find(cls, title, strcmp(argv[1], "find") != 0, static_cast<DWORD>(atoi(argv[4])));
  if (!window) {
    printf("missing\n");
    return 1;
  }
  char foundClass[256] = {}, foundTitle[256] = {};
  GetClassNameA(window, foundClass, sizeof foundClass);
  GetWindowTextA(window, foundTitle, sizeof foundTitle);
  RECT r;
  GetWindowRect(window, &r);
  std::string children;
  EnumChildWindows(window, ChildText, reinterpret_cast<LPARAM>(&children));
  std::string controls;
  EnumChildWindows(window, ChildInfo, reinterpret_cast<LPARAM>(&controls));
  printf("found|%s|%s|%ld|%ld|%d|%s|%ld|%ld|%s\n", foundTitle, foundClass, r.right - r.left, r.bottom - r.top,
         IsWindowVisible(window) ? 1 : 0, children.c_str(), r.left, r.top, controls.c_str());
  fflush(stdout);
  if (strcmp(argv[1], "close") == 0) PostMessageA(window, WM_CLOSE, 0, 0);
  if (strcmp(argv[1], "press") == 0) PostMessageA(window, WM_COMMAND, IDOK, 0);
  if ((strcmp(argv[1], "click") == 0 || strcmp(argv[1], "key") == 0) && argc > 5) {
    bool click = strcmp(argv[1], "click") == 0;
    ButtonQuery q = {click ? argv[5] : nullptr, nullptr};
    EnumChildWindows(window, MatchButton, reinterpret_cast<LPARAM>(&q));
    if (!q.found) return 1;
    if (click) {
      PostMessageA(q.found, BM_CLICK, 0, 0);
    } else {
      // The window's thread has the focus; a key goes to its queue as a
      // keyboard would put it there.
      GUITHREADINFO gui = {sizeof gui};
      HWND target =
          GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui) && gui.hwndFocus ? gui.hwndFocus : q.found;
      WPARAM key = static_cast<WPARAM>(atoi(argv[5]));
      PostMessageA(target, WM_KEYDOWN, key, 1);
      PostMessageA(target, WM_KEYUP, key, 0xC0000001);
    }
  }
  return 0;
}
