// The one device published to vexad: the controller's point table (points.h: set-points and
// inputs), the mapping of a controller data block onto it, and the handling of vexad's messages.
//
// Locking: mMutex guards everything of the device that the receive loop and the client's
// reader thread share (ports and their values and sample rates, capabilities, device status,
// setValues, portNum). updater, setOnlineStatus and handleObjectAction take it themselves; the
// set pick-up of the serial link takes it from outside. Sending while holding it is safe:
// cObjectClient::send only queues, and the client's reader thread holds no lock of its own
// while it calls handleObjectAction. Lock order: mMutex, then the serial link's pending-set
// mutex, then the client's queue mutex.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>

#include "cObject.h"
#include "cObjectClient.h"
#include "cObjectList.h"
#include "cObjectListener.h"
#include "cQlog.h"
#include "points.h"
#include "southIO.h"

// Capability publication, process-wide: publications made so far, and whether more are wanted.
extern int count;
extern bool addCap_status;

class SouthDevice : public cObjectDevice, public cQlog, public cObjectListener {
public:
    std::map<int, float> setValues;  // analogue-output values requested by vexad, not yet taken
    int portNum = 0;                 // port id of the most recent analogue-output set
    std::list<cObjectCapability*> capabilities;  // one object per capability id, in order
    std::list<DigitalInput*> diPorts;            // always empty on this device
    std::list<DigitalOutput*> doPorts;           // always empty on this device
    std::list<AnalogueInput*> aiPorts;           // the inputs, in port-id order

    // The ports of the point table's rows by name (a row added later has a port in aoPorts or
    // aiPorts but no name here). Set-points (analogue outputs), port ids from 1:
    AnalogueOutput* airconPullIn1 = nullptr;
    AnalogueOutput* airconDropout2 = nullptr;
    AnalogueOutput* fanPullIn = nullptr;
    AnalogueOutput* hiTempDropout = nullptr;
    AnalogueOutput* airconRotation = nullptr;
    AnalogueOutput* airconPowerupDelay1 = nullptr;
    AnalogueOutput* failSetpoint = nullptr;
    AnalogueOutput* airconTestDelay = nullptr;
    // Inputs, port ids from 1: run-hour counters, temperatures, relative humidity.
    AnalogueInput* ac1Hours = nullptr;
    AnalogueInput* ac2Hours = nullptr;
    AnalogueInput* fanHours = nullptr;
    AnalogueInput* rhHours = nullptr;
    AnalogueInput* rhFreeAirHours = nullptr;
    AnalogueInput* activeModeHours = nullptr;
    AnalogueInput* freeAirModeHours = nullptr;
    AnalogueInput* hiTempHours = nullptr;
    AnalogueInput* mainsFailHours = nullptr;
    AnalogueInput* internalTemp = nullptr;
    AnalogueInput* externalTemp = nullptr;
    AnalogueInput* aveInternalTemp = nullptr;
    AnalogueInput* aveExternalTemp = nullptr;
    AnalogueInput* ac1Temp = nullptr;
    AnalogueInput* ac2Temp = nullptr;
    AnalogueInput* averageAc1Temp = nullptr;
    AnalogueInput* averageAc2Temp = nullptr;
    AnalogueInput* rh = nullptr;
    AnalogueInput* averageRh = nullptr;

    std::list<AnalogueOutput*> aoPorts;  // the set-points, in port-id order
    cObjectClient* client = nullptr;     // connection to vexad; not owned

    // Guards the state shared with the client's reader thread (see the file comment).
    std::mutex mMutex;
    // Called (under mMutex) when a set has been recorded in setValues, so that the serial link
    // picks it up at once; empty when nobody waits for sets.
    std::function<void()> setRecorded;

    SouthDevice(cObjectClient* client, uint32_t serial, uint32_t version, const char* label);
    ~SouthDevice() override;

    // Maps one 60-byte controller data block onto the points and publishes what is due.
    void updater(cObjectClient* objClient, uint8_t* data);
    // Stores the status; sends one device event when it changed.
    void setOnlineStatus(eObjectStatus status);
    void updatePortCount();
    void addAnalogueInputs();
    void addCapabilities(char* value);
    bool sendCapabilities(cObjectCapability* object);
    void sendEvent(cObjectDevice* obj);
    void sendEvent(cObjectDInput* obj);

    // Messages from vexad (client reader thread).
    void handleObjectAction(cObjectList* objects) override;
    void handleSet(cObjectList* objects);
    void handleRequest(cObjectList* objects);
    void handleError(cObjectList* objects);
    void handleEvent(cObjectList* objects);
    void handleDelete(cObjectList* objects);
    void handleReply(cObjectList* objects);
    void handleSet(cObjectDOutput* object);
    void handleSet(cObjectAInput* object);
    void handleSet(cObjectAOutput* object);

private:
    // One object of a request or a set, by the class of its type.
    void answerRequest(cObject* object);
    void applySet(cObject* object);
    template <class Requested, class List>
    void answer(cObject* object, const List& list, uint32_t (Requested::*id)() const,
                const char* note = nullptr);
    void setOnlineStatusLocked(eObjectStatus status);
    bool forThisDevice(uint32_t serial) const;
};
