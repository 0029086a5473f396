// Paired-device backup and restore, and the backup and restore modes.
#include "pairvault/backup_target.h"
#include "pairvault/pairvault_internal.h"

#include "filetransfer/progress.h"
#include "filetransfer/send_file.h"
#include "link/frames.h"
#include "link/serial.h"
#include "run/module_state.h"
#include "xmodem/xmodem.h"

#include <unistd.h>

#include <cstring>

constexpr const char* INVALID_RESTORE_FILE = "ERROR: invalid restore file";

int restoreZigbee(const char* path) {
    logPrintf("restore filename: %s\n", path);
    if (access(path, F_OK) != 0) {
        printFileError(INVALID_RESTORE_FILE, path);
        logPrintf("ERROR: cannot access %s\n", path);
        return -1;
    }
    // Everything that can go wrong with the file is found before the module is told to
    // expect a transfer: a module that accepted the restore command and then gets nothing is
    // left waiting for data that never comes.
    SendFile image;
    if (loadFileToSend(path, INVALID_RESTORE_FILE, image) != 0)
        return -1;
    // From the command on, a receiver the module may have opened for it is cancelled on every
    // way out, and marked as possibly open until it is known closed (run/module_state.h).
    if (beginModuleTransfer(TransferKind::Restore) != 0 ||
        sendControlCommand(CMD_RESTORE, LABEL_RESTORE) != 1) {
        endModuleTransfer();
        printLine("ERROR: cannot access port");
        logPrintf("ERROR: restore init fail!\n");
        return -1;
    }
    logPrintf("restore file size = %lld\n", static_cast<long long>(image.size));
    logPrintf("Now restoring...may take %d mins.\n",
              static_cast<int>(image.size / RESTORE_BYTES_PER_MIN));

    progressBegin(image.size);
    moduleTransferUnderWay();
    const std::int32_t result =
        xmodemTransmit(image.data.get(), static_cast<std::int32_t>(image.size));
    endModuleTransfer();
    progressEnd();
    logPrintf("result = %ld (%s)\n", static_cast<long>(result), retString(result));
    image.data.reset();
    // The module needs time to store the data before it is told anything else.
    pauseSeconds(RESTORE_SETTLE_S);

    if (result >= image.size)
        return 1;
    printLine("ERROR: fail to restore");
    return -1;
}

int openBackupFile(const char* path, BackupTarget& target) {
    logPrintf("backup filename: %s\n", path);
    if (const int err = openBackupTarget(path, target); err != 0) {
        logPrintf("ERROR: %s: %s\n", std::strerror(err), path);
        printOut("ERROR: cannot open %s\n", path);
        return -1;
    }
    return 0;
}

int receiveBackup(const char* path, BackupTarget& target) {
    // As for a restore: the module's sender is cancelled on every way out.
    if (beginModuleTransfer(TransferKind::Backup) != 0 ||
        sendControlCommand(CMD_BACKUP, LABEL_BACKUP) != 1) {
        endModuleTransfer();
        printLine("ERROR: cannot access port");
        logPrintf("ERROR: backup init fail!\n");
        return -1;
    }
    progressBegin(-1);
    moduleTransferUnderWay();
    const std::int32_t result = xmodemReceive(target.stream);
    endModuleTransfer();
    progressEnd();
    logPrintf("result = %ld (%s)\n", static_cast<long>(result), retString(result));
    // Data that never reached the medium intact is no backup, whatever the transfer said.
    if (result > 0 && commitBackupTarget(target, path) == 0)
        return 1;
    printLine("ERROR: fail to backup");
    return -1;
}

int backupZigbee(const char* path) {
    BackupTarget target;
    if (openBackupFile(path, target) != 0)
        return -1;
    return receiveBackup(path, target);
}

int runBackupMode(const RunOptions& opt) {
    if (!prepareDevice("backup", opt.device))
        return -1;
    if (backupZigbee(opt.backupFile) == 1)
        printLine("SUCCESS");
    closeSerial();
    // A failed backup shows only on stdout; the exit status is success either way.
    return 1;
}

int restoreThenReboot(const char* device, const char* path) {
    if (restoreZigbee(path) != 1) {
        closeSerial();
        return -1;
    }
    // The module takes the reboot command on a fresh opening of the port.
    closeSerial();
    if (!openModulePort(device))
        return -1;
    if (sendControlCommand(CMD_REBOOT, LABEL_REBOOT) != 1) {
        printLine("ERROR");
        closeSerial();
        return -1;
    }
    return 1;
}

int runRestoreMode(const RunOptions& opt) {
    if (!prepareDevice("restore", opt.device))
        return -1;
    if (restoreThenReboot(opt.device, opt.restoreFile) != 1)
        return -1;
    closeSerial();
    printLine("SUCCESS");
    return 1;
}
