// The runtime layer: panels, event loop, timers, serial ports, TCP client,
// formatting. This is the only header of the platform that the program sees;
// everything behind it is Qt.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>

namespace runtime {

// ---- Event codes and attributes --------------------------------------------
inline constexpr int EVENT_COMMIT = 1;
inline constexpr int EVENT_TIMER_TICK = 15;

inline constexpr int TCP_CONNECT = 1;
inline constexpr int TCP_DISCONNECT = 2;
inline constexpr int TCP_DATAREADY = 3;

inline constexpr int ATTR_DIMMED = 500;
inline constexpr int ATTR_VISIBLE = 530;
inline constexpr int ATTR_TITLE = 573;
inline constexpr int ATTR_NO_EDIT_TEXT = 840;
inline constexpr int ATTR_ENABLED = 1271;

// FileSelectPopup results and its confirm-button label codes.
inline constexpr int VAL_NO_FILE_SELECTED = 0;
inline constexpr int VAL_EXISTING_FILE_SELECTED = 1;
inline constexpr int VAL_NEW_FILE_SELECTED = 2;
inline constexpr int VAL_OK_BUTTON = 1;
inline constexpr int VAL_SELECT_BUTTON = 2;
inline constexpr int VAL_SAVE_BUTTON = 3;
inline constexpr int VAL_LOAD_BUTTON = 4;

// Error results. Every operation that can fail returns 0 or a count on success
// and one of these (all negative) on failure.
inline constexpr int kErrPanelFile = -10;      // panel file missing or unreadable
inline constexpr int kErrPanelResource = -11;  // no panel with that resource number
inline constexpr int kErrCallbackName = -12;   // the panel file names an unknown callback
inline constexpr int kErrInvalidPanel = -13;
inline constexpr int kErrInvalidControl = -14;
inline constexpr int kErrInvalidAttribute = -15;
inline constexpr int kErrTypeMismatch = -16;
inline constexpr int kErrNoApplication = -17;
inline constexpr int kErrValueNotInList = -18;  // a ring has no item with that value
inline constexpr int kErrBufferTooSmall = -19;  // the result does not fit the caller's buffer
inline constexpr int kErrPortNumber = -2;       // port number out of range
inline constexpr int kErrPortNotOpen = -3;
inline constexpr int kErrPortOpen = -4;  // the device cannot be opened or configured
inline constexpr int kErrPortWrite = -5;
inline constexpr int kErrPortRead = -6;  // the far end vanished or the device failed
inline constexpr int kErrPortParameter = -7;
inline constexpr int kErrTcpConnect = -11;  // refused, unreachable, timed out or bad address
inline constexpr int kErrTcpHandle = -12;
inline constexpr int kErrTcpWrite = -13;
inline constexpr int kErrTcpRead = -14;
inline constexpr int kErrTcpTimeout = -15;

// ---- Callbacks --------------------------------------------------------------
using CtrlCallbackPtr = int (*)(int panel, int control, int event, void* callbackData, int eventData1,
                                int eventData2);
using MenuCallbackPtr = void (*)(int menuBar, int menuItem, void* callbackData, int panel);
using TCPCallbackPtr = int (*)(unsigned handle, int xType, int errCode, void* callbackData);

// The program hands the runtime its callbacks by name; the panel file refers to
// them by these names. A panel that names an unknown callback does not load.
struct ControlCallbackEntry {
    const char* name;
    CtrlCallbackPtr function;
};
struct MenuCallbackEntry {
    const char* name;
    MenuCallbackPtr function;
};
void SetCallbackTable(std::span<const ControlCallbackEntry> controls,
                      std::span<const MenuCallbackEntry> menus);

// ---- Start-up ---------------------------------------------------------------
// Creates the application object unless one exists already (tests make their
// own). Keep it alive for as long as the program runs.
class Startup {
public:
    Startup(int& argc, char** argv);
    ~Startup();
    Startup(const Startup&) = delete;
    Startup& operator=(const Startup&) = delete;

private:
    bool owns_application_ = false;
};

// A window program whose display cannot be reached: `handler` is called with
// the display that was tried ("DISPLAY=:0", "DISPLAY is not set") while the
// application object is made, and the process ends at once with the status it
// returns, instead of Qt's abort. Set it before Startup; without one, Qt's
// behaviour stays.
using NoDisplayHandler = int (*)(const char* displayTried);
void SetNoDisplayHandler(NoDisplayHandler handler);

int DisableBreakOnLibraryErrors();
int InStandaloneExecutable();  // 1 in the installed program

// ---- Panels -----------------------------------------------------------------
int LoadPanel(int parentPanel, const char* fileName, int resourceId);
int DiscardPanel(int panel);
int DisplayPanel(int panel);
int HidePanel(int panel);
int RunUserInterface();
int QuitUserInterface(int returnCode);

int SetCtrlVal(int panel, int control, const char* text);
int SetCtrlVal(int panel, int control, int value);
int GetCtrlVal(int panel, int control, int* value);
// Copies at most `size` - 1 bytes (never half a character) and always
// terminates; kErrBufferTooSmall when the text had to be cut.
int GetCtrlValText(int panel, int control, char* text, std::size_t size);
template <std::size_t N>
int GetCtrlVal(int panel, int control, char (&text)[N]) {
    return GetCtrlValText(panel, control, text, N);
}

int SetCtrlAttribute(int panel, int control, int attribute, int value);
int GetCtrlAttribute(int panel, int control, int attribute, int* value);
int GetPanelAttributeText(int panel, int attribute, char* text, std::size_t size);
template <std::size_t N>
int GetPanelAttribute(int panel, int attribute, char (&text)[N]) {
    return GetPanelAttributeText(panel, attribute, text, N);
}
int SetActiveCtrl(int panel, int control);
int GetActiveCtrl(int panel);  // the control with the input focus, or 0
int ResetTimer(int panel, int control);

// Dispatches what is pending (timer ticks, control, menu and TCP callbacks)
// and returns. Called back to back in a wait, it sleeps until the next event
// instead of spinning.
int ProcessSystemEvents();
// Repaints what changed; runs no callback.
int ProcessDrawEvents();

// ---- Pop-ups ----------------------------------------------------------------
int FileSelectPopupText(const char* defaultDirectory, const char* defaultFileSpec, const char* fileTypeList,
                        const char* title, int buttonLabel, int restrictDirectory, int restrictExtension,
                        int allowCancel, int allowMakeDirectory, char* pathName, std::size_t size);
template <std::size_t N>
int FileSelectPopup(const char* defaultDirectory, const char* defaultFileSpec, const char* fileTypeList,
                    const char* title, int buttonLabel, int restrictDirectory, int restrictExtension,
                    int allowCancel, int allowMakeDirectory, char (&pathName)[N]) {
    return FileSelectPopupText(defaultDirectory, defaultFileSpec, fileTypeList, title, buttonLabel,
                               restrictDirectory, restrictExtension, allowCancel, allowMakeDirectory,
                               pathName, N);
}
int MessagePopup(const char* title, const char* message);
void Cls();

// ---- Serial ports -------------------------------------------------------------
// "COMn" (n = 1..kMaxComPort) resolves to $ORVEX_SERIAL_DIR/COMn, else to
// ~/.config/orvex-uploader/ports/COMn, else to /dev/ttyS<n-1>.
inline constexpr int kMaxComPort = 32;
inline constexpr double kDefaultComTimeout_s = 10.0;

int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits, int stopBits,
                  int inputQueueSize, int outputQueueSize);
int CloseCom(int port);
int ComWrt(int port, const char* buffer, int count);  // bytes written, or an error
int ComWrtByte(int port, int byte);                   // 1, or an error
int ComRd(int port, char* buffer, int count);         // bytes read; 0 on time-out
// Reads until `terminationByte` (neither stored nor counted), `maxCount` bytes or
// the time-out; returns the bytes stored. Adds no terminating NUL.
int ComRdTerm(int port, char* buffer, int maxCount, int terminationByte);
int FlushOutQ(int port);
int FlushInQ(int port);
int SetXMode(int port, int mode);
int SetComTime(int port, double timeout_s);
// Makes "COM<port>" open `path` for the rest of this process, ahead of the
// port links (nullptr or "" forgets it); kErrPortNumber when out of range.
int SetComPortDevice(int port, const char* path);

// ---- TCP client -----------------------------------------------------------------
// Dotted addresses are read as decimal groups: "192.168.001.010" is 192.168.1.10.
int ConnectToTCPServer(unsigned* conversationHandle, int portNumber, const char* serverHostName,
                       TCPCallbackPtr callback, void* callbackData, unsigned timeout_ms);
int ClientTCPWrite(unsigned conversationHandle, const void* dataPointer, int dataSize,
                   unsigned timeout_ms);  // bytes written, or an error
int ClientTCPRead(unsigned conversationHandle, void* dataBuffer, int dataSize,
                  unsigned timeout_ms);  // bytes read (0: none in time), or an error
int DisconnectFromTCPServer(unsigned conversationHandle);

// ---- Formatting and utility ---------------------------------------------------
// Fmt(target, "%s<...", args...): writes the text after "%s<" into target, with
// %s taking a string and %d an int. Never writes past the target; the result
// is the length written, or -1 when the format is not understood or the text
// had to be cut.
struct FmtArg {
    enum class Kind { Text, Int } kind;
    const char* text;
    int number;
    FmtArg(const char* t) : kind(Kind::Text), text(t), number(0) {}  // NOLINT(google-explicit-constructor)
    FmtArg(int n) : kind(Kind::Int), text(nullptr), number(n) {}     // NOLINT(google-explicit-constructor)
};
int FmtInto(char* target, std::size_t size, const char* format, std::span<const FmtArg> args);
template <std::size_t N, typename... Args>
int Fmt(char (&target)[N], const char* format, Args... args) {
    const FmtArg list[] = {FmtArg(args)..., FmtArg(0)};
    return FmtInto(target, N, format, std::span<const FmtArg>(list, sizeof...(Args)));
}

// Blocks without running any callback of the program; pauses of 50 ms and
// more keep the windows painted.
void Delay(double seconds);
int StringLength(const char* text);

// Reads a decimal number from `text` whatever the user's locale says: the
// leading part that forms a number, or 0 (like atof in the C locale).
double ReadDecimal(const char* text);

// ---- Blocking steps and stop requests ------------------------------------------
// Runs `work(context)` on a worker thread while this (the user-interface)
// thread keeps the windows painted and runs no callback of the program; returns
// when `work` has returned. Off the user-interface thread, runs it in place.
void RunWhilePainting(void (*work)(void* context), void* context);
template <typename F>
void WhilePainting(F&& f) {
    using Function = std::remove_reference_t<F>;
    RunWhilePainting([](void* c) { (*static_cast<Function*>(c))(); },
                     const_cast<void*>(static_cast<const void*>(std::addressof(f))));
}

// From now on SIGTERM, SIGHUP and SIGINT call `handler(signalNumber)` from
// event processing (RunUserInterface, ProcessSystemEvents) on the
// user-interface thread, never from the signal handler; also without any
// window. A signal that arrives while a step blocks is handled when the step
// has returned. A null handler restores the signals' default actions.
void SetStopSignalHandler(void (*handler)(int signalNumber));
// The number of stop signals received so far (never reset), so that a blocking
// step can learn that a stop was asked meanwhile.
int StopSignalCount();

// ---- Test support ---------------------------------------------------------------
// Scales every pause, timer interval and port or connection time-out; 1.0 is
// real time. Only tests change it.
void SetTimeScale(double scale);
double TimeScale();
// What InStandaloneExecutable reports (1 by default); tests of the GPIB
// binding's stop handling switch it.
void SetStandaloneExecutable(int standalone);

// ---- Failure causes and ports -------------------------------------------------
// Why the last serial or TCP operation that failed did so, in words a technician
// can act on; empty when none failed since ClearFailureDetail. Copies at most
// size-1 bytes and terminates; returns the length copied, or kErrBufferTooSmall
// without room for the terminating NUL.
int GetFailureDetailText(char* text, std::size_t size);
template <std::size_t N>
int GetFailureDetail(char (&text)[N]) {
    return GetFailureDetailText(text, N);
}
void ClearFailureDetail();

// The device path "COMn" resolves to (see the serial ports above): 0, or
// kErrPortNumber, or kErrBufferTooSmall when the path was cut to fit.
int ComPortDeviceText(int port, char* path, std::size_t size);
template <std::size_t N>
int ComPortDevice(int port, char (&path)[N]) {
    return ComPortDeviceText(port, path, N);
}

// One line per serial device present (e.g. "/dev/ttyUSB0  FTDI FT232R USB UART
// vendor 0403 product 6001 serial A10K3XYZ  driver ftdi_sio  latency timer 16 ms
// -> COM3" or "-> (no COMn)"; driver and latency timer where the kernel names
// them), then which COMn links point where. Returns the count of devices, or -1 without
// an output file.
int WriteSerialPortList(std::FILE* out);

// Sets the tooltip of one item (by its value) of a ring control: 0, or
// kErrInvalidPanel, kErrInvalidControl, kErrTypeMismatch (not a ring) or
// kErrValueNotInList.
int SetRingItemToolTip(int panel, int control, int itemValue, const char* text);

}  // namespace runtime
