#pragma once

// Outcome of one exchange and of a whole upload.
enum TTftpResult : int {
    trOK = 0,           // reply with opcode ACK
    trTimeout = 1,      // no reply within the time limit
    trDeviceError = 2,  // reply with opcode ERROR
    trUnknownError = 3, // any other reply; also a host or file name that cannot be used
};
