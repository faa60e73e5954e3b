// The Win32 dialog on its own, made from the program's resource: a scripted core stands in for the
// upgrade worker, so that every step of the dialog's side (controls after WM_INITDIALOG, prompt,
// Start, clock, boxes, closing during a run, device changes, the folder browser) can be driven and
// observed.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <cstring>

#include "app/device_return.h"
#include "app/upgrade.h"
#include "app/win32/folder_browser.h"
#include "base/clock.h"
#include "base/settings.h"
#include "discovery/device_events.h"
#include "res/resource.h"
#include "tests/app/win32/dialog_harness.h"
#include "tests/support/environment.h"
#include "tests/support/scripted_core.h"
#include "tests/support/temp_dir.h"
#include "tests/windows/fake_bus.h"

using namespace win32_test;

namespace {

const std::string kPrompt = "Do you want to upgrade firmware?\n";
const std::string kOk = "Download ok\n";

class Win32Dialog : public ::testing::Test {
  protected:
    void SetUp() override { set_message_boxes(&win32_boxes_); }
    void TearDown() override { set_message_boxes(nullptr); }

    Win32MessageBoxes win32_boxes_;
    BoxRecorder boxes_;
    ScriptedCore core_;
};

std::string class_of(HWND window) {
    char name[64] = {};
    ::GetClassNameA(window, name, sizeof name);
    return name;
}

// The control's rectangle in the dialog's client co-ordinates.
RECT placed(HWND dialog, HWND control) {
    RECT rect{};
    ::GetWindowRect(control, &rect);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// A rectangle of the template in pixels: the dialog manager converts the position and the size
// each on their own.
RECT units(HWND dialog, int x, int y, int w, int h) {
    RECT rect{x, y, w, h};
    ::MapDialogRect(dialog, &rect);
    return {rect.left, rect.top, rect.left + rect.right, rect.top + rect.bottom};
}

bool operator==(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// ---- the resource, and the dialog after WM_INITDIALOG ----

// IDD_UPGRADE as the resource holds it (DLGTEMPLATEEX and its items).
struct Template {
    struct Item {
        LONG style = 0;
        int x = 0, y = 0, w = 0, h = 0;
        int id = 0;
        std::string window_class, text;
    };
    LONG style = 0;
    int w = 0, h = 0;
    std::string title, font;
    int points = 0;
    std::vector<Item> items;
};

class TemplateReader {
  public:
    explicit TemplateReader(const BYTE* at) : at_(at) {}
    template <typename T>
    T take() {
        T value;
        std::memcpy(&value, at_, sizeof value);
        at_ += sizeof value;
        return value;
    }
    // A string, or an ordinal (0xffff and a number): the predefined classes 0x80 to 0x85.
    std::string text() {
        static const char* const classes[] = {"Button",  "Edit",      "Static",
                                              "ListBox", "ScrollBar", "ComboBox"};
        if (take<WORD>() == 0xffff) {
            const WORD ordinal = take<WORD>();
            return ordinal >= 0x80 && ordinal <= 0x85 ? classes[ordinal - 0x80] : "#";
        }
        at_ -= sizeof(WORD);
        std::string out;
        for (WORD c = take<WORD>(); c != 0; c = take<WORD>())
            out += static_cast<char>(c);
        return out;
    }
    void align() {
        at_ = reinterpret_cast<const BYTE*>((reinterpret_cast<UINT_PTR>(at_) + 3) & ~UINT_PTR{3});
    }

  private:
    const BYTE* at_;
};

Template read_template() {
    HRSRC found = ::FindResourceA(nullptr, MAKEINTRESOURCEA(IDD_UPGRADE), MAKEINTRESOURCEA(5));
    TemplateReader in(static_cast<const BYTE*>(::LockResource(::LoadResource(nullptr, found))));
    Template t;
    in.take<DWORD>();  // version and signature
    in.take<DWORD>();  // help identifier
    in.take<DWORD>();  // extended style
    t.style = in.take<LONG>();
    t.items.resize(in.take<WORD>());
    in.take<DWORD>();  // x, y
    t.w = in.take<short>();
    t.h = in.take<short>();
    in.text();  // menu
    in.text();  // class
    t.title = in.text();
    t.points = in.take<WORD>();
    in.take<DWORD>();  // weight, italic, character set
    t.font = in.text();
    for (Template::Item& item : t.items) {
        in.align();
        in.take<DWORD>();  // help identifier
        in.take<DWORD>();  // extended style
        item.style = in.take<LONG>();
        item.x = in.take<short>();
        item.y = in.take<short>();
        item.w = in.take<short>();
        item.h = in.take<short>();
        item.id = in.take<int>();
        item.window_class = in.text();
        item.text = in.text();
        in.take<WORD>();  // no creation data
    }
    return t;
}

struct Control {
    int id;
    const char* window_class;
    const char* text;
    LONG styles;  // WS_VISIBLE among them for a control that shows
    int x, y, w, h;
};

// The controls of IDD_UPGRADE in their order; the two labels have no identifier.
constexpr LONG kShown = WS_VISIBLE;
constexpr Control kControls[] = {
    {IDC_PROGRESS, "msctls_progress32", "", kShown | PBS_SMOOTH | WS_BORDER, 7, 17, 322, 16},
    {IDC_FOLDER, "Edit", "", ES_AUTOHSCROLL | WS_BORDER, 7, 34, 137, 15},
    {-1, "Static", "Firmware Folder:", 0, 7, 35, 71, 12},
    {IDC_BROWSE, "Button", "....", BS_PUSHBUTTON, 145, 35, 28, 15},
    {IDC_START, "Button", "Start ", kShown | BS_PUSHBUTTON, 267, 36, 61, 17},
    {-1, "Static", "Port", 0, 190, 35, 38, 9},
    {IDC_PORT, "Edit", "", ES_AUTOHSCROLL | WS_BORDER, 190, 36, 47, 16},
    {IDC_STATUS, "Static", "", kShown, 7, 36, 175, 12},
    {IDC_INFO, "Static", "", kShown, 7, 3, 284, 12},
    {IDC_CLOCK, "Static", "", kShown, 295, 7, 34, 8},
    {IDC_MODEM, "ComboBox", "", CBS_DROPDOWNLIST | WS_VSCROLL, 7, 17, 322, 60},
};

TEST(Win32Resource, HoldsTheDialogWithItsTitleFontSizeAndControls) {
    const Template t = read_template();
    EXPECT_EQ(t.title, "Firmware Upgrade Tool");
    EXPECT_EQ(t.font, "MS Shell Dlg");
    EXPECT_EQ(t.points, 8);
    EXPECT_EQ(t.w, 336);
    EXPECT_EQ(t.h, 59);
    const LONG frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
    EXPECT_EQ(t.style & frame, frame);
    ASSERT_EQ(t.items.size(), std::size(kControls));
    for (std::size_t i = 0; i < t.items.size(); ++i) {
        const Template::Item& item = t.items[i];
        const Control& c = kControls[i];
        SCOPED_TRACE(c.text);
        EXPECT_EQ(item.id, c.id);
        EXPECT_STRCASEEQ(item.window_class.c_str(), c.window_class);
        EXPECT_EQ(item.text, c.text);
        EXPECT_EQ(item.style & (c.styles | WS_VISIBLE), c.styles);
        EXPECT_EQ(item.x, c.x);
        EXPECT_EQ(item.y, c.y);
        EXPECT_EQ(item.w, c.w);
        EXPECT_EQ(item.h, c.h);
    }
}

TEST_F(Win32Dialog, InitShowsTheControlsInPlaceCentredWithTheBarsRange) {
    core_.init_result = 0;
    DialogThread dialog(core_.shell());
    ASSERT_NE(dialog.hwnd, nullptr);
    ASSERT_TRUE(wait_until([&] { return !dialog.checking(); }));
    ::SendMessageA(dialog.hwnd, WM_NULL, 0, 0);  // the check's verdict has been taken
    HWND child = ::GetWindow(dialog.hwnd, GW_CHILD);
    for (const Control& c : kControls) {
        ASSERT_NE(child, nullptr) << c.text;
        SCOPED_TRACE(std::to_string(c.id) + " " + c.text);
        EXPECT_EQ(::GetDlgCtrlID(child), c.id);
        EXPECT_EQ(class_of(child), c.window_class);
        EXPECT_EQ(text_of(child), c.text);
        EXPECT_EQ(::IsWindowVisible(child) != 0, (c.styles & kShown) != 0);
        // A drop-down's height in the template is that of its open list.
        RECT want = units(dialog.hwnd, c.x, c.y, c.w, c.h);
        if (c.id == IDC_MODEM) want.bottom = placed(dialog.hwnd, child).bottom;
        EXPECT_TRUE(placed(dialog.hwnd, child) == want);
        child = ::GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr);

    RECT client{};
    ::GetClientRect(dialog.hwnd, &client);
    EXPECT_TRUE(client == units(dialog.hwnd, 0, 0, 336, 59));
    RECT desktop{}, own{};
    ::GetWindowRect(::GetDesktopWindow(), &desktop);
    ::GetWindowRect(dialog.hwnd, &own);
    EXPECT_EQ(own.left, desktop.left + (desktop.right - desktop.left - (own.right - own.left)) / 2);
    EXPECT_EQ(own.top, desktop.top + (desktop.bottom - desktop.top - (own.bottom - own.top)) / 2);

    HWND bar = dialog.item(IDC_PROGRESS);
    EXPECT_EQ(::SendMessageA(bar, PBM_GETRANGE, TRUE, 0), 0);  // TRUE: the low limit
    EXPECT_EQ(::SendMessageA(bar, PBM_GETRANGE, FALSE, 0), PROGRESS_RANGE_MAX);
    EXPECT_EQ(::SendMessageA(bar, PBM_GETPOS, 0, 0), 0);
    EXPECT_EQ(::SendMessageA(bar, PBM_SETSTEP, 1, 0), 1);     // the step it had
    EXPECT_FALSE(::IsWindowEnabled(dialog.item(IDC_START)));  // the start-up check failed
}

// A device that does not answer keeps the check busy for many seconds: the window is there all the
// while, says what it is doing, offers no Start, and closes without waiting for the device.
TEST_F(Win32Dialog, IsOnScreenDuringTheStartUpCheckAndClosesWithoutWaitingForIt) {
    core_.checks_hold = true;
    DialogThread dialog(core_.shell());
    ASSERT_NE(dialog.hwnd, nullptr);
    ASSERT_TRUE(wait_until([&] { return core_.inits == 1; }));
    EXPECT_NE(core_.check_thread(), dialog.thread_id);
    EXPECT_EQ(core_.prepares, 1);
    EXPECT_TRUE(::IsWindowVisible(dialog.hwnd));
    EXPECT_TRUE(dialog.checking());
    EXPECT_EQ(dialog.text(IDC_INFO), "Looking for the device...");
    EXPECT_FALSE(::IsWindowEnabled(dialog.item(IDC_START)));
    dialog.click(IDC_START);
    EXPECT_EQ(core_.starts, 0);

    ::PostMessageA(dialog.hwnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(wait_until([&] { return dialog.closed(); }, ScriptedCore::kCheckHoldMs / 4));
    EXPECT_TRUE(core_.check_cancelled);
    EXPECT_EQ(core_.cleanups, 1);
    EXPECT_EQ(boxes_.count(), 0u);
}

// ---- prompt, Start and the worker's side ----

TEST_F(Win32Dialog, PromptAfterItsDelayOnceThenStartRunsOneWorkerWhoseErrorBoxHoldsIt) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        core.hold();
        ScriptedCore::fail(dialog, core);
    };
    bool worker_waited = false;
    boxes_.while_open = [&](const BoxRequest& box) {
        if (box.text == ScriptedCore::kErrorText)
            worker_waited = core_.running && !core_.box_answered;
    };
    boxes_.queue_answer(IDCANCEL);
    const auto opened = std::chrono::steady_clock::now();
    DialogThread dialog(core_.shell());
    ASSERT_TRUE(wait_until([&] { return boxes_.count() == 1; }));
    const SeenBox prompt = boxes_.seen()[0];
    EXPECT_EQ(prompt.request.text, kPrompt);
    EXPECT_EQ(prompt.request.caption, "Upgrade Tools");
    EXPECT_EQ(prompt.request.type, static_cast<unsigned>(MB_OKCANCEL | MB_ICONQUESTION));
    EXPECT_EQ(prompt.thread, dialog.id);
    EXPECT_GE(prompt.at - opened, std::chrono::milliseconds(scaled_ms(300)));
    EXPECT_EQ(core_.starts, 0);
    ASSERT_TRUE(::IsWindowEnabled(dialog.item(IDC_START)));

    dialog.click(IDC_START);
    EXPECT_EQ(core_.starts, 1);
    EXPECT_FALSE(::IsWindowEnabled(dialog.item(IDC_START)));
    EXPECT_FALSE(::IsWindowEnabled(dialog.item(IDC_BROWSE)));
    // A Start that reaches the dialog during the run anyway starts nothing.
    ::SendMessageA(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED), 0);
    EXPECT_EQ(core_.starts, 1);

    core_.release();
    ASSERT_TRUE(wait_until([&] {
        return !core_.running && ::IsWindowEnabled(dialog.item(IDC_START)) &&
               ::IsWindowEnabled(dialog.item(IDC_BROWSE));
    }));
    ASSERT_EQ(boxes_.count(), 2u);  // the prompt came only once
    const SeenBox error = boxes_.seen()[1];
    EXPECT_EQ(error.request.type, static_cast<unsigned>(MB_OK | MB_ICONERROR));
    EXPECT_NE(error.thread, dialog.id);  // on the worker's own thread, which waited for the answer
    EXPECT_TRUE(worker_waited);
}

TEST_F(Win32Dialog, StartPressedWhileThePromptIsOpenLeavesItsOkNothingToStart) {
    core_.script = [](UpgradeDialog*, ScriptedCore& core) { core.hold(); };
    std::atomic<int> starts_by_start{-1};
    boxes_.while_open = [&](const BoxRequest&) {
        // The prompt has no owner: the dialog stays usable while it is open.
        HWND self = window_of_thread(::GetCurrentThreadId(), "Firmware Upgrade Tool");
        ::SendMessageA(self, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED), 0);
        starts_by_start = core_.starts.load();
    };
    DialogThread dialog(core_.shell());
    ASSERT_TRUE(wait_until([&] { return starts_by_start >= 0 && boxes_.count() == 1; }));
    EXPECT_EQ(starts_by_start, 1);
    ::SendMessageA(dialog.hwnd, WM_NULL, 0, 0);  // answered once the prompt's OK is handled
    EXPECT_EQ(core_.starts, 1);
    core_.release();
}

// The status line records what is written to it, and on which thread.
std::vector<std::pair<std::string, DWORD>> status_writes;
WNDPROC status_procedure = nullptr;

LRESULT CALLBACK record_status(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_SETTEXT)
        status_writes.emplace_back(reinterpret_cast<const char*>(lparam), ::GetCurrentThreadId());
    return ::CallWindowProcA(status_procedure, window, message, wparam, lparam);
}

TEST_F(Win32Dialog, WorkerWritesReachTheControlsOnTheDialogsThreadInOrder) {
    std::atomic<bool> go{false}, written{false};
    core_.script = [&](UpgradeDialog* dialog, ScriptedCore& core) {
        wait_until([&] { return go.load(); });
        dialog->set_range(500);
        dialog->set_status("Finding device...");
        dialog->set_info("Warning: Do not plug out device during download process!");
        for (int i = 1; i <= 120; ++i)
            dialog->set_progress(i);
        dialog->set_status("Copying file to device...");
        dialog->set_progress(620);  // past the end: full
        written = true;
        core.hold();
    };
    DialogThread dialog(core_.shell());
    status_writes.clear();
    status_procedure = reinterpret_cast<WNDPROC>(::SetWindowLongPtrA(
        dialog.item(IDC_STATUS), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(record_status)));
    go = true;
    HWND bar = dialog.item(IDC_PROGRESS);
    ASSERT_TRUE(
        wait_until([&] { return written && ::SendMessageA(bar, PBM_GETPOS, 0, 0) == 500; }));
    EXPECT_EQ(::SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 500);
    // The status line carries the share of the run done, rewritten only when it changes: the
    // range, the first status, each percent up to 24, the second status, then the full bar.
    ASSERT_EQ(status_writes.size(), 28u);
    EXPECT_EQ(status_writes[0].first, "0%");
    EXPECT_EQ(status_writes[1].first, "Finding device...  0%");
    EXPECT_EQ(status_writes[2].first, "Finding device...  1%");
    EXPECT_EQ(status_writes[25].first, "Finding device...  24%");
    EXPECT_EQ(status_writes[26].first, "Copying file to device...  24%");
    EXPECT_EQ(status_writes[27].first, "Copying file to device...  100%");
    for (const auto& write : status_writes)
        EXPECT_EQ(write.second, dialog.id) << write.first;
    EXPECT_EQ(dialog.text(IDC_INFO), "Warning: Do not plug out device during download process!");
    core_.release();
    ASSERT_TRUE(wait_until([&] { return !core_.running; }));
}

TEST_F(Win32Dialog, ClockTicksEachSecondStopsWithTheRunAndGoesOnInTheNext) {
    std::chrono::steady_clock::time_point set_at{};
    core_.script = [&](UpgradeDialog* dialog, ScriptedCore& core) {
        set_at = std::chrono::steady_clock::now();
        dialog->set_clock_timer(true);
        core.hold();
        ScriptedCore::fail(dialog, core);
    };
    DialogThread dialog(core_.shell(), 58);
    ASSERT_TRUE(wait_until([&] { return dialog.elapsed_seconds() >= 61; }));
    // No tick comes before its period is over.
    EXPECT_GE(std::chrono::steady_clock::now() - set_at,
              3 * std::chrono::milliseconds(scaled_ms(1000)));
    EXPECT_EQ(dialog.text(IDC_CLOCK).substr(0, 3), "01:");

    core_.release();
    ASSERT_TRUE(
        wait_until([&] { return !core_.running && ::IsWindowEnabled(dialog.item(IDC_START)); }));
    const int reached = dialog.elapsed_seconds();
    char shown[8];
    std::snprintf(shown, sizeof shown, "%02d:%02d", reached / 60, reached % 60);
    EXPECT_EQ(dialog.text(IDC_CLOCK), shown);
    EXPECT_FALSE(
        wait_until([&] { return dialog.elapsed_seconds() != reached; }, 3 * scaled_ms(1000)));

    dialog.click(IDC_START);
    ASSERT_TRUE(wait_until([&] { return dialog.elapsed_seconds() > reached; }));
    std::snprintf(shown, sizeof shown, "%02d:%02d", (reached + 1) / 60, (reached + 1) % 60);
    EXPECT_TRUE(wait_until([&] { return dialog.text(IDC_CLOCK) == shown; }));
    core_.release();
}

// ---- closing ----

TEST_F(Win32Dialog, SuccessBoxThenTheDialogClosesByItselfWithoutAsking) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore&) {
        message_boxes().show(kOk, kBoxCaption, BoxButtons::Ok, BoxIcon::Information);
        dialog->set_status("Download ok!");
        dialog->post_close();
    };
    DialogThread dialog(core_.shell());
    ASSERT_TRUE(wait_until([&] { return dialog.closed(); }));
    EXPECT_EQ(dialog.result, 0);
    ASSERT_EQ(boxes_.count(), 2u);  // the prompt and the success box; no question at close
    EXPECT_EQ(boxes_.seen()[1].request.text, kOk);
    EXPECT_EQ(boxes_.seen()[1].request.type, static_cast<unsigned>(MB_OK | MB_ICONINFORMATION));
    EXPECT_EQ(core_.cleanups, 1);
    EXPECT_TRUE(core_.worker_ended_at_cleanup);
}

TEST_F(Win32Dialog, EscapeIsIgnoredAndClosingWhileIdleAsksNothing) {
    core_.init_result = 0;
    DialogThread dialog(core_.shell());
    ::SendMessageA(dialog.hwnd, WM_COMMAND, IDCANCEL, 0);  // what Escape sends
    EXPECT_TRUE(::IsWindowVisible(dialog.hwnd));
    ::PostMessageA(dialog.hwnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(wait_until([&] { return dialog.closed(); }));
    EXPECT_EQ(boxes_.count(), 0u);
    EXPECT_EQ(core_.cleanups, 1);
}

TEST_F(Win32Dialog, ClosingDuringARunAsksAndNoKeepsTheRunGoing) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        if (core.hold()) ScriptedCore::fail(dialog, core);
    };
    DialogThread dialog(core_.shell());
    ASSERT_TRUE(wait_until([&] { return core_.running.load(); }));
    boxes_.queue_answer(IDNO);
    // The question has no owner: the close button can be pressed again while it is open.
    boxes_.while_open = [&](const BoxRequest&) { ::SendMessageA(dialog.hwnd, WM_CLOSE, 0, 0); };
    ::SendMessageA(dialog.hwnd, WM_CLOSE, 0, 0);
    ASSERT_EQ(boxes_.count(), 2u);  // the prompt and one question
    const SeenBox question = boxes_.seen()[1];
    EXPECT_EQ(question.request.text, kStopRunQuestion);
    EXPECT_EQ(question.request.caption, "Upgrade Tools");
    EXPECT_EQ(question.request.type,
              static_cast<unsigned>(MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2));
    EXPECT_TRUE(core_.running);
    EXPECT_EQ(core_.stop_calls, 0);
    EXPECT_FALSE(dialog.closed());
    core_.release();
    ASSERT_TRUE(wait_until([&] { return !core_.running; }));
}

TEST_F(Win32Dialog, YesStopsTheWorkerOnAHelperThreadWhileTheDialogDispatchesThenCleansUp) {
    // The stopped worker still writes controls, asks for a box and sends the dialog a message:
    // none of it may block it or reach the dialog, and the dialog's thread answers meanwhile.
    std::atomic<bool> dialog_answered{false};
    HWND window = nullptr;
    core_.script = [&](UpgradeDialog* dialog, ScriptedCore& core) {
        dialog->set_status("Downloading amss.mbn...5%");
        if (core.hold()) return;
        dialog->set_status("Download has error");
        core.box_answered =
            message_boxes().show(kOk, kBoxCaption, BoxButtons::Ok, BoxIcon::Information);
        dialog_answered = ::SendMessageA(window, WM_GETTEXTLENGTH, 0, 0) > 0;
    };
    core_.stopped_note = "where the modem was left\n";
    DialogThread dialog(core_.shell());
    window = dialog.hwnd;
    ASSERT_TRUE(wait_until([&] { return dialog.text(IDC_STATUS) == "Downloading amss.mbn...5%"; }));
    ::PostMessageA(dialog.hwnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(wait_until([&] { return dialog.closed(); }));
    EXPECT_EQ(core_.stop_calls, 1);
    EXPECT_NE(core_.stop_thread, dialog.thread_id);
    EXPECT_TRUE(dialog_answered);
    EXPECT_FALSE(core_.box_answered);  // withdrawn: not shown, no answer
    // The prompt, the question, then the stopped run's note on where it left the modem.
    ASSERT_EQ(boxes_.count(), 3u);
    EXPECT_EQ(boxes_.seen()[2].request.text, "where the modem was left\n");
    EXPECT_EQ(boxes_.seen()[2].request.type, static_cast<unsigned>(MB_OK | MB_ICONWARNING));
    EXPECT_EQ(core_.cleanups, 1);
    EXPECT_TRUE(core_.worker_ended_at_cleanup);
}

// ---- the real boxes ----

// A box of the thread: its caption, no owner, the buttons it has.
HWND box_of(DWORD thread) {
    return window_of_thread(thread, "Upgrade Tools");
}

void press(HWND box, int button) {
    ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(box, button)));
}

TEST_F(Win32Dialog, RealBoxesHaveNoOwnerAndClosingWithdrawsTheWorkersBox) {
    set_message_boxes(&win32_boxes_);
    set_box_provider(nullptr);
    std::atomic<DWORD> worker{0};
    core_.script = [&](UpgradeDialog*, ScriptedCore& core) {
        worker = ::GetCurrentThreadId();
        message_boxes().show(kOk, kBoxCaption, BoxButtons::Ok, BoxIcon::Information);
        core.box_answered = true;
    };
    DialogThread dialog(core_.shell());
    HWND prompt = nullptr;
    ASSERT_TRUE(wait_until([&] { return (prompt = box_of(dialog.id)) != nullptr; }));
    EXPECT_EQ(::GetWindow(prompt, GW_OWNER), nullptr);
    EXPECT_NE(::GetDlgItem(prompt, IDOK), nullptr);
    EXPECT_NE(::GetDlgItem(prompt, IDCANCEL), nullptr);
    press(prompt, IDOK);

    HWND done = nullptr;
    ASSERT_TRUE(wait_until([&] { return worker && (done = box_of(worker)) != nullptr; }));
    EXPECT_EQ(::GetWindow(done, GW_OWNER), nullptr);
    EXPECT_EQ(::GetDlgItem(done, IDCANCEL), nullptr);
    ::PostMessageA(dialog.hwnd, WM_CLOSE, 0, 0);
    HWND question = nullptr;
    ASSERT_TRUE(wait_until([&] { return (question = box_of(dialog.id)) != nullptr; }));
    // No is the default button.
    EXPECT_EQ(::GetWindowLongA(::GetDlgItem(question, IDNO), GWL_STYLE) & BS_TYPEMASK,
              BS_DEFPUSHBUTTON);
    press(question, IDYES);
    ASSERT_TRUE(wait_until([&] { return dialog.closed(); }));
    EXPECT_TRUE(core_.box_answered);
    EXPECT_FALSE(::IsWindow(done));
    EXPECT_TRUE(core_.worker_ended_at_cleanup);
}

// ---- device changes ----

// A second modem of the package plugged in beside the offered one takes the offer back until it is
// unplugged.
TEST_F(Win32Dialog, EachArrivalAndRemovalChecksTheDeviceAgain) {
    core_.init_result = 0;
    core_.check_results = {0, 1, CHECK_SEVERAL_MODEMS, 1};
    boxes_.queue_answer(IDCANCEL);
    boxes_.queue_answer(IDCANCEL);
    DialogThread dialog(core_.shell());
    ASSERT_TRUE(wait_until([&] { return !dialog.checking(); }));
    auto send = [&](int event) { ::SendMessageA(dialog.hwnd, WM_DEVICECHANGE, event, 0); };
    auto checked = [&](int checks) {
        const bool ended = wait_until([&] { return core_.checks == checks && !dialog.checking(); });
        ::SendMessageA(dialog.hwnd, WM_NULL, 0, 0);  // the verdict's handling has run to its end
        return ended;
    };

    send(DBT_DEVICEREMOVECOMPLETE);  // no modem yet
    ASSERT_TRUE(checked(1));
    send(0x0007);  // DBT_DEVNODES_CHANGED: not passed on
    EXPECT_EQ(core_.checks, 1);
    EXPECT_FALSE(::IsWindowEnabled(dialog.item(IDC_START)));

    send(DBT_DEVICEARRIVAL);
    ASSERT_TRUE(checked(2));
    EXPECT_TRUE(::IsWindowEnabled(dialog.item(IDC_START)));
    ASSERT_TRUE(wait_until([&] { return boxes_.count() == 1; }));
    EXPECT_EQ(boxes_.seen()[0].request.text, kPrompt);

    send(DBT_DEVICEARRIVAL);  // a second modem
    ASSERT_TRUE(checked(3));
    EXPECT_FALSE(::IsWindowEnabled(dialog.item(IDC_START)));

    send(DBT_DEVICEREMOVECOMPLETE);  // unplugged again
    ASSERT_TRUE(checked(4));
    EXPECT_TRUE(::IsWindowEnabled(dialog.item(IDC_START)));
    ASSERT_TRUE(wait_until([&] { return boxes_.count() == 2; }));
    EXPECT_EQ(core_.inits, 1);
    EXPECT_EQ(core_.starts, 0);
    EXPECT_EQ(core_.device_events(),
              (std::vector<int>{DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL, DBT_DEVICEARRIVAL,
                                DBT_DEVICEREMOVECOMPLETE}));
}

// Two modems of the package at two places on the bus: the chooser comes above the bar with none
// chosen and Start waits; choosing one checks that one and gives Start.
TEST_F(Win32Dialog, TwoModemsPluggedInBringTheChooserAndStartWaitsForAChoice) {
    const std::string diag = "USB\\VID_05C6&PID_9003&MI_00";
    const std::string download = "USB\\VID_05C6&PID_9100";
    TempDir folder;
    folder.write("settings.ini", "[id]\r\nidnum=1\r\ndiag0=" + diag + "\r\ndownload0=" + download +
                                     "\r\nsavedownload0=" + download + "\r\n");
    set_program_folder_override(folder.path());
    remove_fake_devices("PORTS", "*");
    ASSERT_TRUE(
        add_fake_device("PORTS", diag + "\\6&2A3B&0&0000", "USB Modem Diagnostics (COM12)"));
    ASSERT_TRUE(add_fake_device("PORTS", download + "\\EMU0001", "USB Modem Download (COM7)"));
    core_.init_result = CHECK_SEVERAL_MODEMS;
    core_.check_results = {1};
    boxes_.queue_answer(IDCANCEL);
    DialogShell shell = core_.shell();
    shell.modems = [] { return modem_entries(settings_path(own_program_folder())); };
    {
        DialogThread dialog(shell);
        ASSERT_TRUE(wait_until([&] { return !dialog.checking(); }));
        ::SendMessageA(dialog.hwnd, WM_NULL, 0, 0);
        HWND chooser = dialog.item(IDC_MODEM);
        EXPECT_TRUE(::IsWindowVisible(chooser));
        ASSERT_EQ(::SendMessageA(chooser, CB_GETCOUNT, 0, 0), 2);
        EXPECT_EQ(::SendMessageA(chooser, CB_GETCURSEL, 0, 0), CB_ERR);
        EXPECT_LE(placed(dialog.hwnd, chooser).bottom,
                  placed(dialog.hwnd, dialog.item(IDC_PROGRESS)).top);
        EXPECT_FALSE(::IsWindowEnabled(dialog.item(IDC_START)));

        const std::vector<ModemEntry> modems = modem_entries(settings_path(own_program_folder()));
        ASSERT_EQ(modems.size(), 2u);
        const int pick = modems[0].text.find("EMU0001") != std::string::npos ? 0 : 1;
        ::SendMessageA(chooser, CB_SETCURSEL, pick, 0);
        ::SendMessageA(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDC_MODEM, CBN_SELCHANGE),
                       reinterpret_cast<LPARAM>(chooser));
        ASSERT_TRUE(wait_until([&] { return core_.checks == 1 && !dialog.checking(); }));
        ::SendMessageA(dialog.hwnd, WM_NULL, 0, 0);
        EXPECT_FALSE(modems[pick].wanted.empty());
        EXPECT_EQ(core_.wanted(), std::vector<std::string>{modems[pick].wanted});
        EXPECT_TRUE(::IsWindowEnabled(dialog.item(IDC_START)));
        EXPECT_EQ(::SendMessageA(chooser, CB_GETCURSEL, 0, 0), pick);
    }
    remove_fake_devices("PORTS", "*");
    set_program_folder_override("");
    EXPECT_EQ(core_.starts, 0);
}

// ---- the folder browser ----

class Win32Browse : public Win32Dialog {
  protected:
    void SetUp() override {
        Win32Dialog::SetUp();
        folder_ = make_temp_folder();
        set_program_folder_override(folder_);
        core_.init_result = 0;
    }
    void TearDown() override {
        set_program_folder_override("");
        set_folder_browser(nullptr);
        Win32Dialog::TearDown();
    }
    std::string folder_;
};

TEST_F(Win32Browse, ChosenFolderIsShownAndWrittenToSettingsACancelWritesNothing) {
    HWND owner = nullptr;
    std::string title, chosen;
    std::string start;
    set_folder_browser([&](HWND o, const char* t, const std::string& s) {
        owner = o;
        title = t;
        start = s;
        return chosen;
    });
    DialogThread dialog(core_.shell());
    ASSERT_TRUE(wait_until([&] { return !dialog.checking(); }));
    ::SendMessageA(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED), 0);
    EXPECT_EQ(owner, dialog.hwnd);
    EXPECT_EQ(title, "Please select path");
    EXPECT_EQ(start, folder_ + "\\");  // where the package is
    EXPECT_EQ(::GetFileAttributesA(settings_path(own_program_folder()).c_str()),
              INVALID_FILE_ATTRIBUTES);

    chosen = "C:\\firmware set";
    ::SendMessageA(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED), 0);
    EXPECT_EQ(dialog.text(IDC_FOLDER), chosen);
    char path[MAX_PATH] = {};
    get_profile_string("firmware", "path", "", path, sizeof path,
                       settings_path(own_program_folder()));
    EXPECT_STREQ(path, "C:\\firmware set");
}

// A package folder that is gone is no place to open the browser: it opens at home.
TEST_F(Win32Browse, TheBrowserOpensAtHomeWhenThePackageFolderIsGone) {
    TempDir home;
    ScopedEnv profile("USERPROFILE", home.path().c_str());
    set_program_folder_override(folder_ + "\\gone");
    std::string start = "none";
    set_folder_browser([&](HWND, const char*, const std::string& s) {
        start = s;
        return std::string();
    });
    DialogThread dialog(core_.shell());
    ASSERT_TRUE(wait_until([&] { return !dialog.checking(); }));
    ::SendMessageA(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED), 0);
    EXPECT_EQ(start, home.path());
}

// The window of the thread that the dialog owns: the shell's folder browser.
HWND owned_by(DWORD thread, HWND owner) {
    struct Search {
        HWND owner, found;
    } search{owner, nullptr};
    ::EnumThreadWindows(
        thread,
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            if (::GetWindow(window, GW_OWNER) != s->owner || !::IsWindowVisible(window))
                return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool has_text(HWND window, const std::string& text) {
    for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
        if (text_of(child) == text) return true;
    return false;
}

TEST_F(Win32Browse, TheShellsBrowserOpensOwnedByTheDialogWithItsTitleAndItsCancelWritesNothing) {
    DialogThread dialog(core_.shell());
    ASSERT_TRUE(wait_until([&] { return !dialog.checking(); }));
    ::PostMessageA(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED), 0);
    HWND browser = nullptr;
    ASSERT_TRUE(
        wait_until([&] { return (browser = owned_by(dialog.id, dialog.hwnd)) != nullptr; }));
    EXPECT_TRUE(has_text(browser, "Please select path"));
    press(browser, IDCANCEL);
    ASSERT_TRUE(wait_until([&] { return !::IsWindow(browser); }));
    ::SendMessageA(dialog.hwnd, WM_NULL, 0, 0);  // answered once the browser's call has returned
    EXPECT_EQ(dialog.text(IDC_FOLDER), "");
    EXPECT_EQ(::GetFileAttributesA(settings_path(own_program_folder()).c_str()),
              INVALID_FILE_ATTRIBUTES);
}

}  // namespace
