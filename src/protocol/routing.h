// Port routing table and inbound demultiplexer: who owns which client id per port and
// service type, the check and routing of every received frame, and the send primitive
// through which every service message leaves the driver.
//
// Results: 0 success, -1 refusal or failure, -5 the port is not open for routing.
#pragma once

#include <ntddk.h>

// Client ids one session can hold per port and service type.
#define VRAX_CLIENT_SLOTS 8
// Marks a free client-id slot.
#define VRAX_CLIENT_SLOT_FREE 0xFF
// Size of the per-port token the routing layer attaches a port with.
#define VRAX_PORT_ATTACH_CONTEXT_SIZE 2048
// Result of a send on a port that is not open for routing.
#define VRAX_RESULT_PORT_NOT_OPEN (-5)

// Prepares every port's entry (closed, client records of an earlier start-up freed, port
// detached, locks created), the transaction table, and registers DemuxFrame as the receive
// handler unless it is registered already (a re-arrival of the SMD interface). 0, or -1 when
// a lock cannot be created or another receive handler is registered (the entries are
// prepared all the same).
_IRQL_requires_(PASSIVE_LEVEL) int InitRouting();

// Opens a port for routing: attaches it to the receive hand-off. The port-open notice is the
// port service thread's, sent each time the channel opens. 0, or -1 for a bad port, a port
// open already, or a refused attachment.
_IRQL_requires_(PASSIVE_LEVEL) int OpenPortRouting(_In_ ULONG PortIndex);

// Frees every client record and transaction record and forgets the ports' attachments, each
// port's records under its routing lock (a service thread may outlive a bounded shutdown).
// Open flags stay as they are.
_IRQL_requires_(PASSIVE_LEVEL) VOID ResetRouting();

// ResetRouting, and every port closed for routing: the table as the driver image had it at
// load. Called when the driver unloads, after its device has gone.
_IRQL_requires_(PASSIVE_LEVEL) VOID ForgetRouting();

// Frames Message (which has 6 free bytes in front of it) for the port, service type and
// client id and hands it to the transmit path under the port's send lock.
// 0, -1 (bad port, message too long for a frame, lock or transmit failure) or -5.
_IRQL_requires_(PASSIVE_LEVEL) int SendServiceMessage(_In_ ULONG PortIndex, _In_ UCHAR ServiceType,
                                                      _In_ UCHAR ClientId,
                                                      _Inout_updates_bytes_(Length) PUCHAR Message,
                                                      _In_ ULONG Length);

// The receive handler: checks one received frame and routes its service message, under the
// port's routing lock, to its owner, to every session of the service, or to the control
// service handler.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    DemuxFrame(_In_ ULONG PortIndex, _In_reads_bytes_(Length) PUCHAR Frame, _In_ ULONG Length);

// Routes a frame that is not a broadcast. The caller holds the port's routing lock.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    RouteUnicast(_In_ ULONG PortIndex, _In_ UCHAR ServiceType, _In_ UCHAR ClientId,
                 _In_ UCHAR Flags, _Inout_updates_bytes_(Length) PUCHAR Payload, _In_ ULONG Length);

// Records a client id granted to a session. The caller holds the port's routing lock.
// 0, or -1 for a bad port, service type, session key or client id, all 8 slots taken, or no
// memory for a new record.
_IRQL_requires_(PASSIVE_LEVEL) int RegisterClientId(_In_ ULONG SessionKey, _In_ ULONG PortIndex,
                                                    _In_ UCHAR ServiceType, _In_ UCHAR ClientId);

// Forgets a client id of a session (every slot holding it). The caller holds the port's
// routing lock. 0 when a slot held it, else -1. A record left without ids is freed.
_IRQL_requires_(PASSIVE_LEVEL) int ReleaseClientId(_In_ ULONG SessionKey, _In_ ULONG PortIndex,
                                                   _In_ UCHAR ServiceType, _In_ UCHAR ClientId);

// Frees every client record of one port, under its routing lock: the port was lost, and the
// modem frees every client id it granted there when the channel opens again, so an id held
// before the loss belongs to no one.
_IRQL_requires_(PASSIVE_LEVEL) VOID ForgetPortClients(_In_ ULONG PortIndex);

// Frees every client record of a session on every port.
_IRQL_requires_(PASSIVE_LEVEL) VOID PurgeSessionClients(_In_ ULONG SessionKey);
