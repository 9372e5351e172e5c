// What a session asks before it opens a connection while its writes are
// held: the network side runs a file ahead of the updater's word, and
// holds back everything the server would see until that word comes.
#pragma once

class WriteGate {
   public:
    virtual ~WriteGate() = default;
    // Waits for the updater's word on the file run ahead: true when the run
    // is its own after all (writes are no longer held), false when it is
    // not wanted and must end without touching the network.
    virtual bool may_connect() = 0;
};
