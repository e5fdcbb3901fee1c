#pragma once
// Automation channel of the test build of the tool (brixtool-automated): when the environment
// variable BRIX_AUTOMATION names a path, the tool listens on a local socket there (on the user-interface thread) for line commands, so that
// end-to-end tests and the demo can see and drive what a user sees. Without the variable nothing
// listens and nothing changes.
//
// One command per line; every reply ends with a status line "ok[ <value>]" or "err <reason>",
// optionally preceded by data lines "> <text>". Texts are escaped: backslash, tab, CR and LF as
// \\, \t, \r and \n. Dialogs by template id: 102 main window, 129 Tuner, 130 Console,
// 131 Advanced, 282 Scanner.
//
//   ping                     ok
//   text D C                 the control's text (a drop-down list: its selected item)
//   settext D C TEXT         types TEXT (rest of the line, escaped) into an edit
//   enabled D C              1 or 0, the control's own state
//   checked D C              1 or 0
//   value D C                the number a Tuner display shows (digit display, bar, lamp)
//   click D C                clicks a button as the user would (later, after the reply); an error
//                            when the button cannot be clicked (disabled, or its page hidden)
//   tab [N]                  selects tab N as the user would; without N: the selected tab
//   rows [N]                 the Console's row count, with its last N rows as data lines
//                            "kind<TAB>text"
//   box                      the open message box as data lines caption, text, flags; "ok none"
//   answer IDOK|IDCANCEL|IDRETRY|n   answers the open message box
//   grab FILE                saves a picture of the main window as PNG
//   help                     the path of the help document the tool would open
//   quit                     closes the main window through its Exit button
//
// Message boxes are held open (not shown) until a client answers them, or until the call that
// asked is cancelled, which answers as closing the box would.

namespace brix {

// Starts listening when BRIX_AUTOMATION is set; call once a QApplication exists, before the main
// window runs. Returns false only when the variable is set and the socket cannot be opened.
bool startAutomation();

}  // namespace brix
