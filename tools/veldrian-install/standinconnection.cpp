// The installation's side of the printer class installer stand-in (Wine has no
// printer class installer): the stand-in is loaded and told how to reach the run, and
// it calls back as it works, before it makes the driver and queue and once it has.
#include "installation.h"

#include "journal.h"
#include "state.h"
#include "win32/errors.h"
#include "win32/names.h"
#include "win32/registry.h"

namespace host {

namespace {

using win32::kDevicesPath;
using win32::kPrinterPortsPath;

std::wstring Quoted(const std::wstring &text)
{
    return L"\"" + text + L"\"";
}

}  // namespace

bool Installation::connectStandin()
{
    standin_ = LoadLibraryW(standinPath_.c_str());
    standinConnect_ = standin_ == nullptr
                          ? nullptr
                          : reinterpret_cast<standin::ConnectFunction>(
                                reinterpret_cast<void *>(GetProcAddress(standin_, standin::kConnectName)));
    if (standinConnect_ == nullptr) {
        failWith(L"cannot load the printer class installer stand-in " + standinPath_ + L": " +
                 win32::ErrorText(GetLastError()));
        return false;
    }
    standinPort_ = options_.port;
    if (standinPort_.empty() &&
        inf::PortWritten(subject_.package.description->inf, subject_.model.described).empty()) {
        standinPort_ = kBusPort;
        note(L"the package writes no PortName (on Windows the bus and the port monitor record it): the run "
             L"records " +
             standinPort_ + L", the port a USB bus gives; --port PORT names another");
    }
    standin::Host host;
    host.context = this;
    host.note = &Installation::StandinNote;
    host.willMake = &Installation::StandinWillMake;
    host.queueMade = &Installation::StandinQueueMade;
    host.port = standinPort_.empty() ? nullptr : standinPort_.c_str();
    host.makeQueue = options_.noQueue ? FALSE : TRUE;
    standinConnect_(&host);
    // Connected, the stand-in keeps the host's callbacks until the run ends.
    return true;
}

void Installation::StandinNote(void *context, const wchar_t *text)
{
    auto *self = static_cast<Installation *>(context);
    const std::wstring line = text;
    if (line.rfind(L"> ", 0) == 0) {
        self->step(line.substr(2));
    } else {
        self->note(line);
    }
}

// The stand-in is about to add the driver (when it is new) and the queue; the
// spooler then lists the queue for the current user.
BOOL Installation::StandinWillMake(void *context, const wchar_t *queue, const wchar_t *driver, BOOL driverNew)
{
    auto *self = static_cast<Installation *>(context);
    const std::wstring name = queue;
    const bool ok = (driverNew == FALSE || JournalDriver(driver)) && JournalQueue(name) &&
                    JournalValue(HKEY_CURRENT_USER, kDevicesPath, name,
                                 L"the current user's Devices entry for " + Quoted(name)) &&
                    JournalValue(HKEY_CURRENT_USER, kPrinterPortsPath, name,
                                 L"the current user's PrinterPorts entry for " + Quoted(name));
    if (!ok) {
        self->failWith(L"cannot write the run's journal: no queue is made");
    }
    return ok ? TRUE : FALSE;
}

void Installation::StandinQueueMade(void *context, const wchar_t *queue, const wchar_t * /*driver*/,
                                    const wchar_t *port, BOOL /*driverAdded*/)
{
    static_cast<Installation *>(context)->queueMade(queue, port);
}

// The queue exists: the run lists it in the profiles that are to list it, as the
// spooler lists a printer for a user, before the post-processing call reads them.
void Installation::queueMade(const std::wstring &queue, const std::wstring &port)
{
    queue_ = queue;
    queueMade_ = true;
    // Windows' spooler lists the queue for the current user as "winspool,<port>"; Wine's
    // writes "wineps.drv,<port>". The entry is made as Windows makes it, so that the run
    // meets the length VELDRIAN meets on Windows (the entry is journalled already).
    const std::wstring entry = L"winspool," + port;
    if (ReadString(HKEY_CURRENT_USER, kDevicesPath, queue_).has_value()) {
        win32::WriteString(HKEY_CURRENT_USER, kDevicesPath, queue_, entry);
        note(L"the current user lists the queue as Windows' spooler lists it: Devices\\" + queue_ + L" = " +
             entry + L" (Wine's writes wineps.drv," + port + L")");
    }
    for (const ProfileRequest &profile : profiles_) {
        if (profile.listsPrinter) {
            win32::WriteString(HKEY_USERS, profile.name + L"\\" + kDevicesPath, queue_, entry);
            note(profile.name + L" lists the queue: Devices\\" + queue_ + L" = " + entry);
        }
    }
}

}  // namespace host
