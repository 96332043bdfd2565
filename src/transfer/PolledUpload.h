#pragma once

#include "UploadDriver.h"

#include <functional>
#include <span>

class TPollWake;

// The console's driver of an upload: no thread and no event loop of its own.
// Whoever runs it waits on Socket() (with PollSockets, together with other
// uploads' sockets) until Until(), and calls Readable or Timeout; a reply is
// answered straight from there.
class TPolledUpload : public TUploadDriver
{
public:
    using TUploadDriver::TUploadDriver;

    // The socket has datagrams or reports queued.
    void Readable(TTime Now);
};

// One wait on the sockets of the Uploads not done yet, until the earliest time any of them
// asked for or Until, then each served: what came read and answered, its time kept.
void ServePolled(std::span<TPolledUpload *const> Uploads, TPollWake &Wake, TPolledUpload::TTime Until,
                 const std::function<bool()> &Stop);

// Runs Uploads side by side on this thread, each waiting on its own socket,
// until every one is done; once Stop() holds, each ends after the packet in
// flight. Tick, when given, runs every TickMs and once at the end.
void RunPolled(std::span<TPolledUpload *const> Uploads, TPollWake &Wake, const std::function<bool()> &Stop,
               int TickMs = 0, const std::function<void()> &Tick = {});
