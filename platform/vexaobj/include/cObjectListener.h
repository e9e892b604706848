#pragma once

class cObjectList;

// Receives every message from vexad, one at a time, on the client's reader thread. The client
// owns the list and its objects; the listener keeps no pointer to them after returning.
class cObjectListener {
public:
    virtual ~cObjectListener() = default;
    virtual void handleObjectAction(cObjectList* objects) = 0;
};
