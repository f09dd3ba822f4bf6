#pragma once
// Message boxes behind an interface. Without a GUI a box is a line on stderr
// (and in the debug log once that is hooked up with SetMessageBoxLog) and
// answers its default button at once; the GUI installs a box of its own with
// SetMessageBox. Flags and answers carry the Windows values.

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

// Buttons.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_ABORTRETRYIGNORE = 0x2;
constexpr unsigned MB_YESNOCANCEL = 0x3;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_RETRYCANCEL = 0x5;
constexpr unsigned MB_CANCELTRYCONTINUE = 0x6;
constexpr unsigned MB_TYPEMASK = 0xF;
// Icons.
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONHAND = MB_ICONERROR;
constexpr unsigned MB_ICONSTOP = MB_ICONERROR;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr unsigned MB_ICONASTERISK = MB_ICONINFORMATION;
constexpr unsigned MB_ICONMASK = 0xF0;
// Default button.
constexpr unsigned MB_DEFBUTTON1 = 0x000;
constexpr unsigned MB_DEFBUTTON2 = 0x100;
constexpr unsigned MB_DEFBUTTON3 = 0x200;
constexpr unsigned MB_DEFBUTTON4 = 0x300;
constexpr unsigned MB_DEFMASK = 0xF00;

// Answers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDTRYAGAIN = 10;
constexpr int IDCONTINUE = 11;

class IMessageBox {
   public:
    virtual ~IMessageBox() = default;
    // Shows the box (UTF-8 texts) and answers the button chosen.
    virtual int Show(std::string_view text, std::string_view caption, unsigned flags) = 0;
};

// The answer of the default button of a box with these flags; a default
// button beyond the box's buttons is its first one, as on Windows.
int DefaultButtonAnswer(unsigned flags);

// The box without a GUI: writes "caption: text" to its stream (stderr unless
// told otherwise) and to the message box log, answers the default button.
class CConsoleMessageBox : public IMessageBox {
   public:
    explicit CConsoleMessageBox(std::FILE* stream = stderr) : m_stream(stream) {}
    int Show(std::string_view text, std::string_view caption, unsigned flags) override;

   private:
    std::FILE* m_stream;
};

// Installs the box that ShowMessageBox uses and answers the one before; null
// puts the console box back. The caller keeps the box alive while installed.
IMessageBox* SetMessageBox(IMessageBox* box);

// Installs a box for the life of the object and puts the previous one back.
class CScopedMessageBox {
   public:
    explicit CScopedMessageBox(IMessageBox* box) : m_previous(SetMessageBox(box)) {}
    ~CScopedMessageBox() { SetMessageBox(m_previous); }
    CScopedMessageBox(const CScopedMessageBox&) = delete;
    CScopedMessageBox& operator=(const CScopedMessageBox&) = delete;

   private:
    IMessageBox* m_previous;
};

// The single place where the debug log hooks in: every console box line is
// also given to this function. An empty function unhooks it.
using MessageBoxLog = std::function<void(const std::string& line)>;
void SetMessageBoxLog(MessageBoxLog log);

// Shows a box through the installed box.
int ShowMessageBox(std::string_view text, std::string_view caption, unsigned flags);
int ShowMessageBox(std::u16string_view text, std::u16string_view caption, unsigned flags);
