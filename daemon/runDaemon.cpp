#include "daemon/runDaemon.h"

#include <sched.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "daemon/gNotificationReader.h"
#include "daemon/tPidFileWalk.h"
#include "daemon/terminateRecordedProcesses.h"
#include "protons/driver/linuxU/tDeviceInterfaceProxy.h"
#include "protons/enumeration/linuxU/linuxDevEnumHelper.h"
#include "protons/enumeration/linuxU/tDeviceInterfaceIterator.h"
#include "protons/io_notification/linuxU/tIONotification.h"
#include "status/tStatusRecord.h"

namespace nQUORVAMONITORD_18_5 {

using nZORFEL000::tDeviceInterfaceIterator;
using nZORFEL000::tDeviceInterfaceProxy;
using nZORFEL000::tInterfacePath;
using nZORFEL000::tIONotification;
using nZORFEL000::tIONotificationReader;
using nZORFEL000::tStatusRecord;

namespace {

constexpr int kExitReleased = 0;
constexpr int kExitFailure = 1;

// The device-interface names searched for, in this order.
constexpr const char* kInterfaceNames[] = {"morvelkestrak_morvelkestrak",
                                           "morvelpandk_morvelsondrapand"};

// The driver's restart notification.
constexpr uint32_t kRestartNotificationId = 0x0FE57AF7;

// Messages the reader's socket must hold beyond one: a burst of the driver's notifications that
// arrives while a sweep pauses fits, so none is lost to a full buffer.
constexpr uint64_t kReaderDepth = 300;

constexpr int kRealTimePriority = 98;

// Not an event kind: marks a wait that reported nothing.
constexpr uint32_t kNoEvent = 0xFFFFFFFF;

// Moves the paths of argv that the daemon keeps to its front, in order, and returns how many:
// those of files it could read, now or later. A file refused for who may write to it or for its
// content is kept and judged again at every sweep. Nothing but a regular file is ever opened. Its
// own frame, with the walk's buffers, is gone before the event loop's begin.
__attribute__((noinline)) size_t keepPidFiles(int argc, char** argv) {
    size_t kept = 0;
    tPidFileWalk walk;
    for (int i = 1; i < argc; ++i) {
        int file = -1;
        const tVerdict verdict = walk.open(argv[i], file);
        if (file >= 0) {
            ::close(file);
        }
        if (!verdict.droppedAtStartUp()) {
            argv[1 + kept++] = argv[i];
        }
    }
    return kept;
}

// Opens the node of the first match of the first interface name that has one. Once a name has
// a match, no other match or name is tried, whether or not the read and the open succeed.
void openFirstInterface(tDeviceInterfaceProxy& device, tStatusRecord& status) {
    for (const char* name : kInterfaceNames) {
        tDeviceInterfaceIterator iterator;
        iterator.findInterface(name, status);
        if (!iterator.atEnd()) {
            tInterfacePath path;
            path.text[0] = '\0';
            path.length = 0;
            nZORFEL000::readInterfacePath(iterator, path, status);
            device.open(path.text, status);
            iterator.release();
            return;
        }
        iterator.release();
    }
}

void raiseToRealTimePriority() {
    sched_param param{};
    param.sched_priority = kRealTimePriority;
    (void)::sched_setscheduler(0, SCHED_FIFO, &param);
}

// Waits for driver events until one ends the run; returns the exit status.
int serveEvents(tIONotificationReader& reader, const tPidFileList& pidFiles,
                tStatusRecord& status) {
    unsigned char payload[nZORFEL000::kNotificationPayloadSize];
    for (;;) {
        uint32_t kind = kNoEvent;
        uint32_t length = 0;
        (void)reader.wait(kind, payload, length, status, -1);
        if (status.isFatal()) {
            return kExitFailure;
        }
        switch (kind) {
            case nZORFEL000::kNotified:
                terminateRecordedProcesses(pidFiles);
                break;
            case nZORFEL000::kReleased:
                return kExitReleased;
            default:
                // kWoken ends the run as a failure. So does a wait that ended on an error or
                // hang-up condition alone: it stays raised, and waiting again would spin at
                // real-time priority.
                return kExitFailure;
        }
    }
}

// Brings up the device and the notification, serves events and tears down; returns the exit
// status.
int runWithDevice(const tPidFileList& pidFiles, tStatusRecord& status) {
    tDeviceInterfaceProxy device;
    openFirstInterface(device, status);
    if (!device.isOpen()) {
        device.close();
        return kExitFailure;
    }

    // A fresh nothrow_t rather than std::nothrow, an object that lives in the C++ runtime
    // library the daemon does not link.
    auto* notification = new (std::nothrow_t{}) tIONotification();
    auto* reader = new (std::nothrow_t{}) tIONotificationReader(kReaderDepth, status);
    gNotificationReader.install(reader);

    int exitStatus = kExitFailure;
    if (notification == nullptr || reader == nullptr) {
        QV_SET_STATUS(status, nZORFEL000::kStatusMemoryFull);
    } else {
        notification->registerWith(reader, &device, kRestartNotificationId, status);
        if (!status.isFatal()) {
            raiseToRealTimePriority();
            exitStatus = serveEvents(*reader, pidFiles, status);
        }
        notification->unregister();
    }
    delete notification;
    device.close();
    return exitStatus;
}

}  // namespace

int runDaemon(int argc, char** argv) {
    tStatusRecord status;

    // The paths kept are moved to the front of argv: the list needs no memory of its own.
    const size_t kept = keepPidFiles(argc, argv);
    if (kept == 0) {
        return kExitFailure;
    }
    return runWithDevice(tPidFileList{argv + 1, kept}, status);
}

}  // namespace nQUORVAMONITORD_18_5
