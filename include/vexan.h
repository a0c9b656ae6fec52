/*
 * Vexan: drive up to eight CANopen master modules, each on its own serial line.
 *
 * Slots
 *   A module is named by its slot number 0..7 in every call; slots 8..255 have no
 *   record and every export refuses them with VEXAN_NOT_OPEN (7), Vexan_InitMaster
 *   included. The application opens the slot's serial port itself (on POSIX a file
 *   descriptor in raw mode, on Windows a HANDLE opened for synchronous I/O: see
 *   VexanPort) and hands it to Vexan_InitMaster, which identifies the
 *   module, starts its master and opens the board. Until then every other export on
 *   that slot returns 7. Vexan_ShutdownMaster stops the master and frees the slot;
 *   the library never opens or closes the port itself.
 *
 * Blocking and non-blocking calls
 *   Every export that waits for the module takes a blocking flag as its last
 *   argument. Non-zero: the call returns the final result, or VEXAN_TIMEOUT (35)
 *   once the board's function time-out (1000 ms by default) has passed since the
 *   call began: every wait it makes counts (for the exchange lock below, for
 *   the port, for the reply), so it returns about its time-out after it began
 *   at the latest. Zero: the first call returns VEXAN_SENT (41) once the request
 *   is out; repeat the same call (same slot, command and key) and it returns
 *   VEXAN_WAITING (40) while the module has not answered, then the final result.
 *   Outputs are written only when the final result is VEXAN_OK. A command that
 *   could not be sent (VEXAN_PAUSED, VEXAN_WRITE_FAILED, VEXAN_SHORT_WRITE,
 *   VEXAN_NO_PORT_HANDLE) leaves nothing pending: the next call sends afresh.
 *   A call waiting for its answer (blocking, or repeated while it returns
 *   VEXAN_WAITING) on a line that reports itself gone (a hang-up, an unplugged
 *   adapter, a pipe whose other end closed) ends within about 100 ms with
 *   VEXAN_READ_FAILED (14) instead of waiting out its time-out, and leaves
 *   nothing pending. Any waiting export may return it.
 *
 * Threads
 *   Exports may be called from any thread. Each open board has one receive thread
 *   that reads its port, files replies and events, polls the module for events
 *   about every 5 ms and runs the application's event callbacks. Two threads must
 *   not use the same request (slot, command, key) at the same time. Do not call
 *   other exports on a slot while Vexan_InitMaster or Vexan_ShutdownMaster runs on
 *   it. Unloading the library stops every receive thread still running: once
 *   the unload has begun no export starts a thread (a master start then ends
 *   with VEXAN_TIMEOUT, an EDS load as Vexan_EDS_Load says), and every callback
 *   still running returns before anything it can reach goes away.
 *   A blocking call reads its board's line itself while it waits, when no other
 *   caller does, so its reply needs no hand-over between threads; the receive
 *   thread keeps polling for events and running the callbacks meanwhile. Every
 *   blocking export may therefore also be called from inside an event callback,
 *   on the callback's own board too. A callback may shut its own board down, or
 *   another board: once Vexan_ShutdownMaster returns there, that board's receive
 *   thread runs no further callback and sends nothing. Called on a receive
 *   thread, it does not wait for the stopped thread to end (that thread may be
 *   in a callback waiting for this one); such a thread ends by itself and is
 *   joined at the slot's next start-up from an application thread or when the
 *   library unloads.
 *
 * Result codes
 *   Every export returns a 16-bit result: 0 for success, one of the library's
 *   codes below, or the module's own status byte for the command, passed through
 *   unchanged. vexan_result_name() in vexan_results.h names the library's codes.
 *   VEXAN_OUT_OF_RANGE (256) lies outside the byte range of the module's status
 *   codes: a key that no reply table holds (a node id above 127, a COB-ID above
 *   2046) or a frame that cannot hold its payload is refused with it before any
 *   record is touched or anything is sent. A successful reply too short for the
 *   call's outputs is also reported with it, and the outputs are not written.
 *
 * The library writes no log and raises no exceptions across this interface.
 */
#ifndef VEXAN_H
#define VEXAN_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(VEXAN_BUILDING_SHARED)
#define VEXAN_API __declspec(dllexport)
#elif defined(VEXAN_USING_SHARED)
#define VEXAN_API __declspec(dllimport)
#else
#define VEXAN_API
#endif
#else
#define VEXAN_API __attribute__((visibility("default")))
#endif

/* The pause exports use the stdcall convention on 32-bit Windows, where they
 * export as _Vexan_Pause@4 and _Vexan_Start@0. The library's module-definition
 * file gives them those names there, so its own build does not mark them for
 * export (which would add the toolchain's Vexan_Pause@4 beside them). */
#if defined(_WIN32) && !defined(_WIN64)
#define VEXAN_STDCALL __stdcall
#if defined(VEXAN_BUILDING_SHARED)
#define VEXAN_PAUSE_API
#else
#define VEXAN_PAUSE_API VEXAN_API
#endif
#else
#define VEXAN_STDCALL
#define VEXAN_PAUSE_API VEXAN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The slot's serial port: the HANDLE of an opened serial port (or pipe) on
 * Windows, a file descriptor on POSIX; VEXAN_NO_PORT is "none".
 * POSIX: open the device read-write (O_NOCTTY) and set it to raw mode at the
 * module's speed (115200 baud, 8N1, no flow control).
 * Windows: open the port with CreateFile on "\\.\COMn" for synchronous I/O,
 * that is WITHOUT FILE_FLAG_OVERLAPPED: the library reads and writes with no
 * OVERLAPPED structure, which fails on an overlapped handle, so every read and
 * write fails and Vexan_InitMaster answers VEXAN_NOT_IDENTIFIED (or a write
 * failure code). Set the line through the DCB (SetCommState: 115200 baud, 8
 * data bits, no parity, one stop bit, no flow control: fOutxCtsFlow,
 * fOutxDsrFlow, fOutX and fInX all FALSE) and set COMMTIMEOUTS with
 * ReadIntervalTimeout = MAXDWORD and ReadTotalTimeoutMultiplier =
 * ReadTotalTimeoutConstant = 0, so that a read returns at once with what is
 * waiting (the library reads only the bytes ClearCommError reports waiting and
 * waits for more in 1 ms steps itself). Write time-outs of 0 let a write wait
 * until its bytes are out; a write time-out that ends a write early ends the
 * call with VEXAN_SHORT_WRITE or VEXAN_WRITE_FAILED. examples/port_win32.c
 * opens a port so. */
#if defined(_WIN32)
typedef void* VexanPort;
#define VEXAN_NO_PORT ((VexanPort)(intptr_t)-1)
#else
typedef int VexanPort;
#define VEXAN_NO_PORT (-1)
#endif

/* An application event callback: no arguments, no result. Called on the
 * receive thread of the board it was installed for. */
typedef void (*EventCallback)(void);

/* Library version returned by Vexan_GetVersion. */
#define VEXAN_LIBRARY_VERSION 203

/* Most reply data bytes a single reply frame can carry. */
#define VEXAN_MAX_REPLY_DATA 252

/* The library's result codes: X(name, value, description). The module's own
 * status codes are passed through unchanged and are not listed here. */
#define VEXAN_RESULT_TABLE(X)                                                                            \
    X(VEXAN_OK, 0, "success")                                                                            \
    X(VEXAN_NO_PORT_HANDLE, 2, "the slot has no port handle")                                            \
    X(VEXAN_NOT_IDENTIFIED, 3, "the module did not identify itself at master start-up")                  \
    X(VEXAN_NOT_OPEN, 7, "the slot has no board, or the board's master is not open")                     \
    X(VEXAN_MASTER_ID_ZERO, 9, "the master node id is 0, which master-side events do not allow")         \
    X(VEXAN_NO_RESULT_CLASS, 13, "the command belongs to no class of the result request")                \
    X(VEXAN_READ_FAILED, 14, "the port read failed, or no identification reply")                         \
    X(VEXAN_NOTHING_TO_READ, 15, "nothing to read")                                                      \
    X(VEXAN_NOT_STORED, 16, "the reply was not stored: no memory, or its spill file did not open")       \
    X(VEXAN_UPLOAD_OVERRUN, 22, "an upload delivered more bytes than announced, or an offset beyond it") \
    X(VEXAN_SDO_ABORTED, 25, "the node aborted the SDO transfer")                                        \
    X(VEXAN_TIMEOUT, 35, "time-out: no final reply within the function time-out")                        \
    X(VEXAN_UNSUPPORTED_SIZE, 36, "unsupported data size in a master-side SDO response")                 \
    X(VEXAN_SHORT_WRITE, 38, "the port wrote fewer bytes than the frame holds")                          \
    X(VEXAN_WRITE_FAILED, 39, "the port write failed")                                                   \
    X(VEXAN_WAITING, 40, "still waiting for the module's answer")                                        \
    X(VEXAN_SENT, 41, "the request was sent; repeat the call to collect its result")                     \
    X(VEXAN_PAUSED, 42, "traffic is paused")                                                             \
    X(VEXAN_EDS_FILE, 50, "opening or reading the EDS file failed, or the file is empty")                \
    X(VEXAN_EDS_VALUE, 51, "an EDS value the configuration needs is missing or does not parse")          \
    X(VEXAN_OUT_OF_RANGE, 256, "key outside every reply table, or payload too large for a frame")

#define VEXAN_RESULT_ENUM_ENTRY(name, value, text) name = value,
enum VexanResult { VEXAN_RESULT_TABLE(VEXAN_RESULT_ENUM_ENTRY) VEXAN_RESULT_LAST_ };
#undef VEXAN_RESULT_ENUM_ENTRY

/* ---- Pause and start ---------------------------------------------------------------- */

/* Closes the transmit gate: every send and read of every board is refused with
 * VEXAN_PAUSED until Vexan_Start, or, when ms is not 0, until ms milliseconds
 * have passed. A new call restarts a timed pause. A frame being written when
 * the call is made is finished first: once this returns, no frame goes out
 * until the gate opens again. */
VEXAN_PAUSE_API void VEXAN_STDCALL Vexan_Pause(uint32_t ms);

/* Opens the transmit gate at once and forgets any timed pause. */
VEXAN_PAUSE_API void VEXAN_STDCALL Vexan_Start(void);

/* ---- Master control ----------------------------------------------------------------- */

/* The library's version: always 203. Needs no open board. */
VEXAN_API uint16_t Vexan_GetVersion(void);

/* Sets the board's function time-out in milliseconds when the board is open;
 * otherwise changes nothing. Applies to requests already pending too. */
VEXAN_API void Vexan_SetFunctionTimeout(uint8_t slot, uint32_t ms);

/* Starts the master on the module in `slot` under `masterNodeId` (0..127).
 * It binds the slot to `port`, identifies the module, sends the start command
 * with `initParam`, starts the board's receive thread and waits for the
 * module's answer (or returns VEXAN_SENT, then VEXAN_WAITING, when not
 * blocking; repeat the call with the same master node id). The board opens on
 * status 0.
 * Ports: a slot without a board, or one whose earlier start-up failed with no
 * start still pending, takes the port given now; while a start is pending the
 * slot keeps the port it started on (the argument is ignored), and an open
 * board ignores the argument altogether.
 * Returns: VEXAN_OK (also at once when the board is already open, nothing
 * sent), the module's status, VEXAN_NOT_IDENTIFIED (no identification),
 * VEXAN_NOT_OPEN (slot 8..255), VEXAN_TIMEOUT (no answer in time, or no receive
 * thread could be started: then at once, nothing pending), VEXAN_WAITING,
 * VEXAN_SENT, VEXAN_PAUSED, VEXAN_NO_PORT_HANDLE, VEXAN_SHORT_WRITE,
 * VEXAN_WRITE_FAILED, VEXAN_OUT_OF_RANGE (master node id above 127). */
VEXAN_API uint16_t Vexan_InitMaster(uint8_t slot, VexanPort port, uint8_t masterNodeId, uint8_t initParam,
                                    uint8_t blocking);

/* Stops the receive thread, sends the stop command, forgets the board's pending
 * requests and its queued events (other boards' events stay queued; boot-up
 * events stay) and frees the slot. A call blocked on one of the board's
 * requests ends at once with VEXAN_TIMEOUT. No event poll follows the stop
 * command on the line.
 * A stop command held back by Vexan_Pause returns VEXAN_PAUSED: the board
 * stays open with its requests and a receive thread started anew; call again
 * once traffic resumes. A stop command that the line could not carry (a write
 * failure, a hang-up, an unplugged adapter) frees the slot all the same: the
 * receive thread is stopped, the board's requests and events are forgotten,
 * the port is never touched again (the application may close it) and the slot
 * takes a new port at its next Vexan_InitMaster. The failure is returned
 * because the module may still be running its master.
 * Returns: VEXAN_OK, VEXAN_NOT_OPEN, VEXAN_PAUSED (board still open), or with
 * the slot freed VEXAN_WRITE_FAILED, VEXAN_SHORT_WRITE or VEXAN_NO_PORT_HANDLE. */
VEXAN_API uint16_t Vexan_ShutdownMaster(uint8_t slot);

/* Reads the state of the module's CAN interface into `status`, which must hold
 * VEXAN_MAX_REPLY_DATA bytes (the module decides how many it sends). Always
 * sends anew and waits for the answer.
 * Returns: the module's status, VEXAN_NOT_OPEN, VEXAN_TIMEOUT, VEXAN_PAUSED,
 * VEXAN_NO_PORT_HANDLE, VEXAN_SHORT_WRITE, VEXAN_WRITE_FAILED. */
VEXAN_API uint16_t Vexan_GetCANStatus(uint8_t slot, uint8_t* status);

/* Sends the master's boot-up message. The module files no result for this
 * command, so the call does not wait and touches no reply record, whatever the
 * blocking flag says.
 * Returns: VEXAN_OK once the frame has gone out, VEXAN_NOT_OPEN, or the send
 * failure (VEXAN_PAUSED, VEXAN_NO_PORT_HANDLE, VEXAN_SHORT_WRITE,
 * VEXAN_WRITE_FAILED). */
VEXAN_API uint16_t Vexan_MasterSendBootupMsg(uint8_t slot, uint8_t blocking);

/* Sets the master mode (the module's value, passed through unchecked).
 * Returns: the module's status, or a code of the call pattern: VEXAN_NOT_OPEN,
 * VEXAN_TIMEOUT, VEXAN_WAITING, VEXAN_SENT, VEXAN_PAUSED, VEXAN_NO_PORT_HANDLE,
 * VEXAN_SHORT_WRITE, VEXAN_WRITE_FAILED. */
VEXAN_API uint16_t Vexan_SetMasterMode(uint8_t slot, uint8_t mode, uint8_t blocking);

/* Reads the master mode into *mode on status 0.
 * Returns: as Vexan_SetMasterMode, and VEXAN_OUT_OF_RANGE when the reply holds
 * no byte (then *mode is not written). */
VEXAN_API uint16_t Vexan_GetMasterMode(uint8_t slot, uint8_t* mode, uint8_t blocking);

/* Reads the module's firmware version into *version (reply bytes low first) on
 * status 0.
 * Returns: as Vexan_SetMasterMode, and VEXAN_OUT_OF_RANGE when the reply holds
 * fewer than two bytes (then *version is not written). */
VEXAN_API uint16_t Vexan_GetFirmwareVersion(uint8_t slot, uint16_t* version, uint8_t blocking);

/* ---- Nodes and NMT ------------------------------------------------------------------ */

/* The exports below address one slave node of the module's master by its node
 * id (0..127) and follow the blocking and non-blocking rules above; their
 * request record is (slot, command, node id), so that two requests of the same
 * command to different nodes run side by side. A node id above 127 is refused
 * with VEXAN_OUT_OF_RANGE before anything is sent. Every other argument is the
 * module's value, passed through unchecked.
 * Unless said otherwise each returns: the module's status (0 success), or a
 * code of the call pattern: VEXAN_NOT_OPEN, VEXAN_TIMEOUT, VEXAN_WAITING,
 * VEXAN_SENT, VEXAN_PAUSED, VEXAN_NO_PORT_HANDLE, VEXAN_SHORT_WRITE,
 * VEXAN_WRITE_FAILED, VEXAN_OUT_OF_RANGE. */

/* Buffer size for the scan result, the node list and the NMT state: the module
 * decides how many bytes it sends, at most what one reply frame can carry. */
#define VEXAN_NODE_REPLY_BUFFER VEXAN_MAX_REPLY_DATA

/* Adds node `nodeId` to the master's node list with the module's three add
 * parameters. A call that collects an earlier non-blocking add and finds the
 * module still busy with it asks the module again and returns VEXAN_WAITING,
 * even when it passes a non-zero blocking flag: repeat the call. */
VEXAN_API uint16_t Vexan_AddNode(uint8_t slot, uint8_t nodeId, uint8_t nodeParam, uint16_t nodeWord1,
                                 uint16_t nodeWord2, uint8_t blocking);

/* Removes node `nodeId` from the master's node list. Once the reply is collected
 * (by this call, or by the repeat of a non-blocking call), whatever the status,
 * every request still open to the node on this slot is dropped: callers waiting
 * on one end at once with VEXAN_TIMEOUT, and a non-blocking request to the node
 * left to collect is forgotten (repeating it sends it afresh). A call that
 * returns VEXAN_SENT or VEXAN_WAITING, or ends with VEXAN_TIMEOUT, drops
 * nothing. */
VEXAN_API uint16_t Vexan_RemoveNode(uint8_t slot, uint8_t nodeId, uint8_t blocking);

/* As Vexan_RemoveNode, and the module also resets the node. */
VEXAN_API uint16_t Vexan_RemoveAndResetNode(uint8_t slot, uint8_t nodeId, uint8_t blocking);

/* Sets the node's delay and response time-out (the module's units). */
VEXAN_API uint16_t Vexan_DelayAndResponseTimeout(uint8_t slot, uint8_t nodeId, uint16_t delay, uint16_t responseTimeout,
                                                 uint8_t blocking);

/* Scans the bus with the module's two scan parameters and copies every byte of
 * the module's answer into `result`, which must hold VEXAN_NODE_REPLY_BUFFER
 * bytes. Its record is (slot, command, 0): it shares none with node requests. */
VEXAN_API uint16_t Vexan_ScanNode(uint8_t slot, uint8_t scanParam1, uint8_t scanParam2, uint8_t* result,
                                  uint8_t blocking);

/* Copies the master's node list, every byte of the module's answer, into
 * `nodeList`, which must hold VEXAN_NODE_REPLY_BUFFER bytes. Record key 0. */
VEXAN_API uint16_t Vexan_GetNodeList(uint8_t slot, uint8_t* nodeList, uint8_t blocking);

/* Sends the NMT state change `state` (the module's value) to the node. */
VEXAN_API uint16_t Vexan_NMTChangeState(uint8_t slot, uint8_t nodeId, uint8_t state, uint8_t blocking);

/* Reads the node's NMT state: every byte of the module's answer goes into
 * `state`, which must hold VEXAN_NODE_REPLY_BUFFER bytes. A call that sends the
 * query holds the library's exchange lock from before the send until it
 * returns (VEXAN_SENT when not blocking): meanwhile other threads' fresh
 * Vexan_NMTGetState calls, and the other exchanges that take this lock, wait
 * for it, whatever their slot. Collecting an earlier non-blocking query takes
 * no lock. */
VEXAN_API uint16_t Vexan_NMTGetState(uint8_t slot, uint8_t nodeId, uint8_t* state, uint8_t blocking);

/* Sets up node guarding of the node: guard time and life time factor. */
VEXAN_API uint16_t Vexan_NMTGuarding(uint8_t slot, uint8_t nodeId, uint16_t guardTime, uint8_t lifeTimeFactor,
                                     uint8_t blocking);

/* Sets up heartbeat monitoring of the node with the module's two heartbeat
 * times, in this order. */
VEXAN_API uint16_t Vexan_NMTHeartbeat(uint8_t slot, uint8_t nodeId, uint16_t heartbeatTime1, uint16_t heartbeatTime2,
                                      uint8_t blocking);

/* ---- Event callbacks and readers ---------------------------------------------------- */

/* Each receive thread polls its module for events about every 5 ms and files
 * them in seven queues shared by all slots (at most 255 unread records each;
 * the oldest is dropped when a queue is full). On each poll step it calls, for
 * every kind whose queue holds records, the callback installed for that kind on
 * its own slot: a callback says only that records wait, and it runs again on
 * every step until the queue is drained, so read until the reader returns
 * VEXAN_NOTHING_TO_READ. Records of any slot may be found; each reader reports
 * the slot that queued the record. Callbacks run on the receive thread and may
 * call any export, the readers and blocking calls included.
 *
 * Install and remove take the slot as a 32-bit value of which only the low 8
 * bits count, and need the slot's board open. Install stores the callback
 * when none is installed for the kind and slot; over an installed callback it
 * returns VEXAN_OK and keeps the old one (remove it first to replace it).
 * Callbacks stay installed across Vexan_ShutdownMaster and a new start-up.
 * Remove called on an application thread returns only once the callback it
 * removed is no longer running, if it was, and from then on that callback is
 * never called again: what it uses may be freed. Called from inside a callback
 * (on any board's receive thread) remove does not wait, so that two callbacks
 * can never wait for each other: the removed callback may still be running
 * then, and ends its current call.
 * The four kinds of requests that other masters address to the module as a
 * node (ReadSDO, WriteSDO, RxPDO, RemotePDO) need a master node id other than
 * 0: on a board opened with master node id 0 their install (when none is
 * installed) and remove return VEXAN_MASTER_ID_ZERO and change nothing.
 * Returns: VEXAN_OK, VEXAN_NOT_OPEN, VEXAN_MASTER_ID_ZERO (those four kinds). */
VEXAN_API uint16_t Vexan_InstallBootUpISR(uint32_t slot, EventCallback callback);
/* Removes the boot-up callback of the slot (see above for the codes). */
VEXAN_API uint16_t Vexan_RemoveBootUpISR(uint32_t slot);
/* Installs the EMCY callback of the slot (see above). */
VEXAN_API uint16_t Vexan_InstallEMCYISR(uint32_t slot, EventCallback callback);
/* Removes the EMCY callback of the slot (see above). */
VEXAN_API uint16_t Vexan_RemoveEMCYISR(uint32_t slot);
/* Installs the NMT-error callback of the slot (see above). */
VEXAN_API uint16_t Vexan_InstallNMTErrISR(uint32_t slot, EventCallback callback);
/* Removes the NMT-error callback of the slot (see above). */
VEXAN_API uint16_t Vexan_RemoveNMTErrISR(uint32_t slot);
/* Installs the callback of other masters' SDO reads (see above; master node id 0: VEXAN_MASTER_ID_ZERO). */
VEXAN_API uint16_t Vexan_InstallReadSDOISR(uint32_t slot, EventCallback callback);
/* Removes the callback of other masters' SDO reads (see above). */
VEXAN_API uint16_t Vexan_RemoveReadSDOISR(uint32_t slot);
/* Installs the callback of other masters' SDO writes (see above; master node id 0: VEXAN_MASTER_ID_ZERO). */
VEXAN_API uint16_t Vexan_InstallWriteSDOISR(uint32_t slot, EventCallback callback);
/* Removes the callback of other masters' SDO writes (see above). */
VEXAN_API uint16_t Vexan_RemoveWriteSDOISR(uint32_t slot);
/* Installs the callback of PDOs received by the module (see above; master node id 0: VEXAN_MASTER_ID_ZERO). */
VEXAN_API uint16_t Vexan_InstallRxPDOISR(uint32_t slot, EventCallback callback);
/* Removes the callback of PDOs received by the module (see above). */
VEXAN_API uint16_t Vexan_RemoveRxPDOISR(uint32_t slot);
/* Installs the callback of other masters' remote PDO requests (see above; master node id 0: VEXAN_MASTER_ID_ZERO). */
VEXAN_API uint16_t Vexan_InstallRemotePDOISR(uint32_t slot, EventCallback callback);
/* Removes the callback of other masters' remote PDO requests (see above). */
VEXAN_API uint16_t Vexan_RemoveRemotePDOISR(uint32_t slot);

/* The readers take the oldest record of their queue; they need no open board.
 * Null output pointers are skipped.
 * Returns: VEXAN_OK with every output written; VEXAN_NOTHING_TO_READ when the
 * queue is empty (nothing written), or when the record's slot has been shut
 * down since it was queued: the record is then consumed and every output but
 * the slot has been written. */

/* A node's boot-up: its node id. */
VEXAN_API uint16_t Vexan_GetBootUpNodeAfterAdd(uint8_t* slot, uint8_t* node);

/* An EMCY message: the node id and the message's 8 bytes as received into
 * `data`, which must hold 8 bytes. */
VEXAN_API uint16_t Vexan_GetEMCYData(uint8_t* slot, uint8_t* node, uint8_t* data);

/* An NMT error the module detected: the node id and the module's error code. */
VEXAN_API uint16_t Vexan_GetNMTError(uint8_t* slot, uint8_t* node, uint8_t* code);

/* ---- Requests of other masters ------------------------------------------------------ */

/* The module answers other masters as a CANopen node under its master node id,
 * and reports their requests as events for the application to answer. The
 * readers below work as the event readers above; `data` must hold 8 bytes.
 * The request's own SDO command byte is not handed out. */

/* Another master reads object `index`/`subIndex`: answer with
 * Vexan_ResponseMasterSDO, write flag 0. */
VEXAN_API uint16_t Vexan_GetMasterReadSDOEvent(uint8_t* slot, uint16_t* index, uint8_t* subIndex);

/* Another master writes `length` (0..4) bytes to object `index`/`subIndex`:
 * answer with Vexan_ResponseMasterSDO, write flag 1. A record too short to hold
 * the request's command byte, index and sub-index is consumed and reported with
 * VEXAN_OUT_OF_RANGE, nothing written. */
VEXAN_API uint16_t Vexan_GetMasterWriteSDOEvent(uint8_t* slot, uint16_t* index, uint8_t* subIndex, uint8_t* length,
                                                uint8_t* data);

/* Another master requests the PDO `cobId` remotely: answer with
 * Vexan_ResponseMasterPDO. */
VEXAN_API uint16_t Vexan_GetMasterRemotePDOEvent(uint8_t* slot, uint16_t* cobId);

/* Another master sent the PDO `cobId` with `length` (0..8) data bytes. */
VEXAN_API uint16_t Vexan_GetMasterRxPDOEvent(uint8_t* slot, uint16_t* cobId, uint8_t* length, uint8_t* data);

/* Answers another master's SDO request on object `index`/`subIndex`. Write flag
 * 0 answers a read with the `length` (1..4) bytes of `data`; non-zero confirms
 * a write (at most 4 bytes of `data` are sent, usually none). Always waits for
 * the module's status, also when called from a callback of the same slot.
 * The slot is a 32-bit value of which only the low 8 bits count.
 * Returns: the module's status (0 accepted), VEXAN_NOT_OPEN,
 * VEXAN_UNSUPPORTED_SIZE (a read answer of 0 or more than 4 bytes),
 * VEXAN_OUT_OF_RANGE (a write answer of more than 4 bytes, or data missing),
 * VEXAN_TIMEOUT, VEXAN_PAUSED, VEXAN_NO_PORT_HANDLE, VEXAN_SHORT_WRITE,
 * VEXAN_WRITE_FAILED. Nothing is sent when the size is refused. */
VEXAN_API uint16_t Vexan_ResponseMasterSDO(uint32_t slot, uint8_t write, uint16_t index, uint8_t subIndex,
                                           uint8_t length, const uint8_t* data);

/* Answers another master's remote request for the PDO `cobId` with `length`
 * (0..8) bytes of `data`. Always waits for the module's status.
 * Returns: as Vexan_ResponseMasterSDO; VEXAN_OUT_OF_RANGE for more than 8
 * bytes, or data missing, nothing sent. */
VEXAN_API uint16_t Vexan_ResponseMasterPDO(uint32_t slot, uint16_t cobId, uint8_t length, const uint8_t* data);

/* ---- Node configuration from an EDS file ------------------------------------------- */

/* Longest EDS path Vexan_EDS_Load takes, in bytes (UTF-8 for a wide path),
 * without its NUL. */
#define VEXAN_EDS_MAX_PATH 255

/* Configures node `nodeId` from its EDS (or DCF) file in one call: adds it to
 * the master's node list (Vexan_AddNode with node parameter 2 and the two node
 * words), starts it (NMT state 1), sets its SYNC and EMCY COB-IDs from the
 * DefaultValue of [1005] and [1014] when the file has them, then installs each
 * receive PDO ([1400subN].., mapping [1600subN]..) and transmit PDO
 * ([1800subN].., mapping [1A00subN]..) with Vexan_InstallPDO_List: COB-ID from
 * sub 1, transmission type from sub 2 (255 when missing), the transmit event
 * timer from sub 5 (0 when missing), and the mapping entries sub 1..sub 0. Each
 * direction ends at the first PDO without a sub-1 entry; a PDO whose COB-ID
 * does not parse or lies above 0x7FF (bit 31 "not valid" included) is skipped,
 * except that bit 30 ("no remote request") is a flag and does not count;
 * a mapping count above 8 installs no entries, and the entries end at the first
 * missing one. The module's refusal of one PDO or of the NMT start (a status of
 * the module's own) does not stop the configuration; a result the library
 * produced itself for one of them (VEXAN_PAUSED, VEXAN_NOT_OPEN, VEXAN_TIMEOUT,
 * VEXAN_NO_PORT_HANDLE, VEXAN_SHORT_WRITE, VEXAN_WRITE_FAILED,
 * VEXAN_OUT_OF_RANGE: the request never reached the module, or its answer never
 * came) ends the run with that result. Nothing done is undone when a later step
 * fails.
 * Values: section names and keys match without regard to case; "0x"/"0X" is
 * hexadecimal, otherwise decimal; node-relative values ("$NODEID+0x180",
 * "0x180+$NODEID", "$NodeId + 384") add the node id (with node id 0 such a value
 * reads as a plain number). Line ends are LF or CR LF.
 * `path`: a narrow string when its first two bytes are both non-zero,
 * otherwise a wide string: char16_t (UTF-16) on POSIX, wchar_t on Windows. A
 * narrow path must therefore hold at least two characters. A narrow path is
 * opened as the application's own bytes, as fopen would take it: unchanged on
 * POSIX, in the ANSI code page on Windows (through the system's ANSI file
 * interface, so under code page 1252 the byte 0xE4 in it is an a-umlaut). A wide
 * path is opened through the wide interface on Windows and as UTF-8 on POSIX.
 * A path longer than VEXAN_EDS_MAX_PATH bytes is refused, never cut.
 * Blocking: runs the configuration in the calling thread and returns its
 * outcome. Not blocking: starts it on a worker thread of the board and returns
 * VEXAN_SENT; repeat the call (any arguments) and it returns VEXAN_WAITING while
 * the run lasts, then the run's outcome once; the call after that starts a new
 * run. A call that returns an outcome, and a blocking call made while a worker
 * run lasts (it waits for it), returns that run's outcome and uses none of its
 * own arguments. A non-blocking call while another thread's blocking run lasts
 * returns VEXAN_WAITING; a blocking one waits for it, then runs its own. One
 * run per board at a time.
 * Shut-down and unload: a run whose board is shut down ends at once (the call it
 * waits in is released) or at its next call, with VEXAN_NOT_OPEN, also when the
 * board is opened again in between. An outcome of a run begun before the board
 * was shut down is never handed out once it is open again: the first load after
 * the restart runs its own configuration (waiting, when the old run still ends,
 * for its current call). Once the library's unload has begun, every run ends at
 * its next call with VEXAN_NOT_OPEN and the unload waits only for that call; a
 * load called then (from a callback, or another thread still running) starts
 * nothing: VEXAN_TIMEOUT when not blocking (no worker starts), VEXAN_NOT_OPEN
 * when blocking.
 * Returns: VEXAN_OK, VEXAN_NOT_OPEN, VEXAN_SENT, VEXAN_WAITING, VEXAN_EDS_FILE
 * (the file cannot be opened or read or is empty, a null path, or a wide path
 * that is not valid UTF-16), VEXAN_EDS_VALUE (the file has no [1000] section
 * header at a line start, or the value of [1005] or [1014] does not parse: the
 * node stays added and started; [1000] needs no DefaultValue),
 * VEXAN_OUT_OF_RANGE (path too long, nothing run), VEXAN_TIMEOUT (no worker
 * thread could be started, nothing run), the library's own result of an NMT
 * start or a PDO install (see above), or the non-zero result of Vexan_AddNode,
 * Vexan_SetSYNC_List or Vexan_SetEMCY_List unchanged. */
VEXAN_API uint16_t Vexan_EDS_Load(uint8_t slot, uint8_t nodeId, const void* path, uint16_t nodeWord1,
                                  uint16_t nodeWord2, uint8_t blocking);

/* ---- SDO transfers ------------------------------------------------------------------ */

/* Largest object a single Vexan_SDOWriteData call can write. */
#define VEXAN_SDO_MAX_WRITE 248
/* Size of the data buffer of Vexan_SDOReadData: the largest object read into
 * memory (objects of 1024 bytes or more go to a spill file). */
#define VEXAN_SDO_READ_BUFFER 1023
/* Size of the reply buffer of Vexan_SDOWriteData. */
#define VEXAN_SDO_WRITE_REPLY_BUFFER 248
/* Objects of this many bytes or more are gathered in a spill file. */
#define VEXAN_SDO_SPILL_THRESHOLD 1024

/* Reads object (index, subIndex) of `node` (0..127) by SDO upload.
 * On VEXAN_OK, *length tells where the object's bytes are:
 *  - below VEXAN_SDO_SPILL_THRESHOLD: in `data`, which must hold
 *    VEXAN_SDO_READ_BUFFER bytes (*length may be 0: an empty object);
 *  - from VEXAN_SDO_SPILL_THRESHOLD on: nothing is copied; the bytes are in the
 *    spill file "<slot>_<node>_<INDEX>_<SUB>.seg" (slot and node in decimal,
 *    index as four and sub-index as two upper-case hex digits, e.g.
 *    0_5_2000_01.seg) in the process's current directory, read them with
 *    Vexan_SDOReadFile. The file holds the object's bytes and nothing else. It is
 *    created (or truncated) by the upload's first reply, kept exclusively open
 *    while each segment is written, and never deleted by the library: it stays
 *    after the call and after shut-down, and the next large upload of the same
 *    slot, node and object overwrites it. A smaller upload never touches it.
 *    The directory may be shared, so the upload never follows a symbolic link
 *    (on Windows any reparse point) by that name, takes only a plain file, and
 *    does not write into an existing file of another user: it ends with
 *    VEXAN_NOT_STORED and leaves such a name and what it points to untouched.
 *    The file is readable and writable by its owner only (on POSIX mode 0600,
 *    also for a file found with wider permissions; on Windows a new file gets
 *    a protected access list that grants access to its owner alone).
 * On VEXAN_SDO_ABORTED the node or the module aborted the upload: *length is 4
 * and the first 4 bytes of `data` hold the abort code, low byte first.
 * One upload per node can be open at a time, whatever its object: a call for
 * the same node while one is pending collects that one.
 * Time: the WHOLE upload, every segment of it, must finish within the board's
 * function time-out counted from the sending of the command, or the call ends
 * with VEXAN_TIMEOUT (a spill file written so far stays, partly filled). At
 * 115200 baud the line alone takes over 90 s for a 1 MiB object, so set a long
 * enough time-out with Vexan_SetFunctionTimeout before large uploads.
 * Not blocking: each repeat call moves the upload on and returns VEXAN_WAITING
 * until the object is complete.
 * Returns: VEXAN_OK, VEXAN_SDO_ABORTED, the module's status, VEXAN_NOT_STORED
 * (no memory, or the spill file could not be created or written),
 * VEXAN_UPLOAD_OVERRUN (more bytes came than the upload announced),
 * VEXAN_OUT_OF_RANGE (node above 127; or a successful reply shorter than 4
 * bytes, or an abort reply without its code: nothing written), or a code of the
 * call pattern: VEXAN_NOT_OPEN, VEXAN_TIMEOUT, VEXAN_WAITING, VEXAN_SENT,
 * VEXAN_PAUSED, VEXAN_NO_PORT_HANDLE, VEXAN_SHORT_WRITE, VEXAN_WRITE_FAILED.
 * Malformed upload segments are never stored: a segment too short to hold its
 * size, or a further segment with no upload begun, is ignored, so the call ends
 * with the next well-formed reply or with VEXAN_TIMEOUT. */
VEXAN_API uint16_t Vexan_SDOReadData(uint8_t slot, uint8_t node, uint16_t index, uint8_t subIndex, uint32_t* length,
                                     uint8_t* data, uint8_t blocking);

/* Reads `count` bytes from `offset` on out of the spill file of a large upload
 * (see Vexan_SDOReadData) into `data`, which must hold `count` bytes; sends
 * nothing. *bytesRead := count, or fewer where the file ends first.
 * Returns: VEXAN_OK, VEXAN_NOT_OPEN, VEXAN_WAITING (an upload to that node is
 * pending or not yet collected, whatever its object: nothing read),
 * VEXAN_NOTHING_TO_READ (no such file, it is held open elsewhere, it is a
 * symbolic link or reparse point or not a plain file, or reading it failed),
 * VEXAN_UPLOAD_OVERRUN (offset at or beyond the file's end),
 * VEXAN_OUT_OF_RANGE (node above 127). Outputs are written only on VEXAN_OK. */
VEXAN_API uint16_t Vexan_SDOReadFile(uint8_t slot, uint8_t node, uint16_t index, uint8_t subIndex, uint32_t offset,
                                     uint32_t count, uint32_t* bytesRead, uint8_t* data);

/* Writes `length` bytes (at most VEXAN_SDO_MAX_WRITE) of `data` to object
 * (index, subIndex) of `node` by SDO download. On VEXAN_OK, *replyLength and
 * `replyData` (VEXAN_SDO_WRITE_REPLY_BUFFER bytes) hold the reply's bytes after
 * its 4-byte head; on VEXAN_SDO_ABORTED, *replyLength is 4 and `replyData`
 * holds the abort code, low byte first.
 * Returns: as Vexan_SDOReadData without the upload codes; VEXAN_OUT_OF_RANGE
 * also for a length above VEXAN_SDO_MAX_WRITE or no data (refused before
 * anything is sent). */
VEXAN_API uint16_t Vexan_SDOWriteData(uint8_t slot, uint8_t node, uint16_t index, uint8_t subIndex, uint32_t length,
                                      const uint8_t* data, uint16_t* replyLength, uint8_t* replyData, uint8_t blocking);

/* Aborts the transfer of (node, index, subIndex) with `abortCode`. A pending
 * upload or download of the node is ended by the module's reply to it.
 * Returns: the module's status, VEXAN_OUT_OF_RANGE (node above 127), or a code
 * of the call pattern. */
VEXAN_API uint16_t Vexan_SDOAbortTransmit(uint8_t slot, uint8_t node, uint16_t index, uint8_t subIndex,
                                          uint32_t abortCode, uint8_t blocking);

/* ---- PDO data exchange -------------------------------------------------------------- */

/* Most data bytes of one PDO; the size of every single-PDO data buffer. */
#define VEXAN_PDO_MAX_DATA 8
/* Longest COB-ID list of Vexan_SetPDORemotePolling. */
#define VEXAN_PDO_MAX_POLLING 125
/* Most PDOs one Vexan_GetMultiPDOData call reads; a larger count is cut to it. */
#define VEXAN_PDO_MAX_MULTI 25

/* Common to the PDO, SYNC and EMCY exports below. COB-IDs run 0..2046 and node
 * ids 0..127: larger ones, a PDO longer than 8 bytes, a longer polling list or
 * more than 8 mapping entries are refused with VEXAN_OUT_OF_RANGE before
 * anything is sent or marked (VEXAN_NOT_OPEN comes first when the slot has no
 * open board). A successful reply shorter than its layout, or longer than the
 * output it goes to, is also reported with VEXAN_OUT_OF_RANGE and writes no
 * output. The other results are the module's status byte or a code of the call
 * pattern: VEXAN_NOT_OPEN, VEXAN_TIMEOUT, VEXAN_WAITING, VEXAN_SENT,
 * VEXAN_PAUSED, VEXAN_NO_PORT_HANDLE, VEXAN_SHORT_WRITE, VEXAN_WRITE_FAILED.
 * A non-blocking call leaves its request pending; repeat calls with the same
 * slot and key (the COB-ID, the node id, or none as stated) collect it and
 * ignore their other arguments. */

/* Writes `length` (0..8) bytes of `data` as the PDO `cobId`; `parameter` goes
 * to the module unchanged. A call that sends the write holds the process-wide
 * exchange lock from before the send until it returns, so it waits for, and
 * holds up, the fresh Vexan_GetMultiPDOData and Vexan_NMTGetState calls of
 * every board; collecting an earlier non-blocking write takes no lock. The
 * wait for the lock counts against the call's time-out: a call that cannot
 * have it in time returns VEXAN_TIMEOUT having sent nothing.
 * Returns the module's status (0: accepted). */
VEXAN_API uint16_t Vexan_PDOWrite(uint8_t slot, uint16_t cobId, uint8_t parameter, uint8_t length, const uint8_t* data,
                                  uint8_t blocking);

/* As Vexan_PDOWrite, but sends the frame and returns without a result: VEXAN_OK
 * once the frame has gone out (after a 1 ms pause), VEXAN_NOT_OPEN,
 * VEXAN_OUT_OF_RANGE or the send failure. No lock, no pending request. */
VEXAN_API uint16_t Vexan_PDOWrite_Fast(uint8_t slot, uint16_t cobId, uint8_t parameter, uint8_t length,
                                       const uint8_t* data);

/* Asks the node for PDO `cobId` by remote request; on VEXAN_OK *length and
 * `data` (VEXAN_PDO_MAX_DATA bytes) hold what it sent. */
VEXAN_API uint16_t Vexan_PDORemote(uint8_t slot, uint16_t cobId, uint8_t* length, uint8_t* data, uint8_t blocking);

/* Sends the remote request without awaiting a result, as Vexan_PDOWrite_Fast. */
VEXAN_API uint16_t Vexan_PDORemote_Fast(uint8_t slot, uint16_t cobId);

/* Tells the module to poll the `count` (0..125) PDOs of `cobIds` by remote
 * request on its own, with `value` (the module's unit) passed through. Key:
 * none (one request per board). */
VEXAN_API uint16_t Vexan_SetPDORemotePolling(uint8_t slot, uint8_t count, const uint16_t* cobIds, uint16_t value,
                                             uint8_t blocking);

/* Reads the module's cached copy of the last PDO `cobId` received: on VEXAN_OK
 * *flag (the module's flag), *length and `data` (VEXAN_PDO_MAX_DATA bytes).
 * VEXAN_NOTHING_TO_READ: nothing received for that COB-ID (outputs untouched). */
VEXAN_API uint16_t Vexan_GetPDOLastData(uint8_t slot, uint16_t cobId, uint8_t* flag, uint8_t* length, uint8_t* data,
                                        uint8_t blocking);

/* Reads the cached copies of up to VEXAN_PDO_MAX_MULTI PDOs at once (a larger
 * count is cut to it). On VEXAN_OK, for the PDOs of the module's reply in
 * request order: `flags` and `lengths` get one byte each and `data` their
 * bytes one after another; size them for the (cut) count: count bytes, count
 * bytes and 8 x count bytes. A reply that names more PDOs than this call's
 * count is refused with VEXAN_OUT_OF_RANGE. Key: none (one request per board).
 * Holds the exchange lock as Vexan_PDOWrite does. */
VEXAN_API uint16_t Vexan_GetMultiPDOData(uint8_t slot, uint8_t count, const uint16_t* cobIds, uint8_t* flags,
                                         uint8_t* lengths, uint8_t* data, uint8_t blocking);

/* ---- PDO configuration -------------------------------------------------------------- */

/* Most mapping entries of one PDO. */
#define VEXAN_PDO_MAX_ENTRIES 8
/* Most COB-IDs that Vexan_GetRxPDOID and Vexan_GetTxPDOID can return; the size
 * of their list. */
#define VEXAN_PDO_MAX_IDS 126

/* Direction of a PDO: the node's receive PDO (data from the master) or its
 * transmit PDO. `number` is the PDO's place (1..512) among them. Each returns
 * the module's status (0: applied). Key: the node id. */
VEXAN_API uint16_t Vexan_InstallPDO(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t direction, uint16_t number,
                                    uint8_t blocking);
/* Removes the node's PDO `cobId` in `direction`; returns the module's status or a code of the call pattern. */
VEXAN_API uint16_t Vexan_RemovePDO(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t direction, uint8_t blocking);

/* Lists the COB-IDs of the node's receive (Rx) or transmit (Tx) PDOs into
 * `cobIds` (VEXAN_PDO_MAX_IDS entries) and their number into *count. After
 * the module's error status, *count is 0 and the list untouched. Key: the node. */
VEXAN_API uint16_t Vexan_GetRxPDOID(uint8_t slot, uint8_t node, uint8_t* count, uint16_t* cobIds, uint8_t blocking);
/* As Vexan_GetRxPDOID, for the node's transmit PDOs. */
VEXAN_API uint16_t Vexan_GetTxPDOID(uint8_t slot, uint8_t node, uint8_t* count, uint16_t* cobIds, uint8_t blocking);

/* Installs a PDO with its communication parameters and `entryCount` (0..8)
 * mapping entries (index << 16 | sub-index << 8 | bit length) in one command.
 * Key: the node id. */
VEXAN_API uint16_t Vexan_InstallPDO_List(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t direction, uint16_t number,
                                         uint8_t transmissionType, uint16_t eventTimer, uint8_t entryCount,
                                         const uint32_t* entries, uint8_t blocking);
/* Removes a PDO installed with Vexan_InstallPDO_List; returns the module's status. Key: the node id. */
VEXAN_API uint16_t Vexan_RemovePDO_List(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t direction,
                                        uint8_t blocking);

/* Changes PDO `cobId` to `newCobId`. Key: the NEW COB-ID. */
VEXAN_API uint16_t Vexan_ChangePDOID(uint8_t slot, uint16_t cobId, uint16_t newCobId, uint8_t blocking);

/* Changes the mapping of PDO `cobId` of `node`; `first`, `second` and `value`
 * are the module's, passed through. Key: the COB-ID. */
VEXAN_API uint16_t Vexan_DynamicPDO(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t first, uint8_t second,
                                    uint32_t value, uint8_t blocking);

/* Communication parameters of PDO `cobId`: mapping entries in use,
 * transmission type, event timer, inhibit time. Key: the COB-ID; each has a
 * request of its own, so a pending one does not hold up another. */
VEXAN_API uint16_t Vexan_PDOUseEntry(uint8_t slot, uint16_t cobId, uint8_t entries, uint8_t blocking);
/* Sets the transmission type of PDO `cobId`; returns the module's status. Key: the COB-ID. */
VEXAN_API uint16_t Vexan_PDOTxType(uint8_t slot, uint16_t cobId, uint8_t transmissionType, uint8_t blocking);
/* Sets the event timer (ms) of PDO `cobId`; returns the module's status. Key: the COB-ID. */
VEXAN_API uint16_t Vexan_PDOEventTimer(uint8_t slot, uint16_t cobId, uint16_t eventTimer, uint8_t blocking);
/* Sets the inhibit time of PDO `cobId`; returns the module's status. Key: the COB-ID (6-byte result request). */
VEXAN_API uint16_t Vexan_PDOInhibitTime(uint8_t slot, uint16_t cobId, uint16_t inhibitTime, uint8_t blocking);

/* Reads the mapping of PDO `cobId`: four fields whose meaning is the module's,
 * the entry count and the entries (`entries` holds VEXAN_PDO_MAX_ENTRIES). All
 * six outputs are written only on VEXAN_OK; a reply with more than 8 entries
 * is refused with VEXAN_OUT_OF_RANGE. Key: the COB-ID. */
VEXAN_API uint16_t Vexan_GetPDOMapInfo(uint8_t slot, uint16_t cobId, uint16_t* field1, uint8_t* field2, uint8_t* field3,
                                       uint16_t* field4, uint8_t* entryCount, uint32_t* entries, uint8_t blocking);

/* ---- SYNC and EMCY ------------------------------------------------------------------ */

/* Number of cyclic SYNC entries that Vexan_GetCyclicSYNCInfo reports. */
#define VEXAN_SYNC_CYCLIC_ENTRIES 5
/* Size of the data buffer of Vexan_ReadLastEMCY: one emergency message. */
#define VEXAN_EMCY_DATA 8

/* Set the COB-ID that `node` uses for SYNC or EMCY (the _List forms are the
 * module's variants used by a node's configuration). Key: the node id. */
VEXAN_API uint16_t Vexan_ChangeSYNCID(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t blocking);
/* Sets the COB-ID that `node` uses for EMCY; returns the module's status. */
VEXAN_API uint16_t Vexan_ChangeEMCYID(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t blocking);
/* The module's list form of setting a node's SYNC COB-ID; returns its status. */
VEXAN_API uint16_t Vexan_SetSYNC_List(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t blocking);
/* The module's list form of setting a node's EMCY COB-ID; returns its status. */
VEXAN_API uint16_t Vexan_SetEMCY_List(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t blocking);

/* Read the node's SYNC or EMCY COB-ID into *cobId on VEXAN_OK. Key: the node. */
VEXAN_API uint16_t Vexan_GetSYNCID(uint8_t slot, uint8_t node, uint16_t* cobId, uint8_t blocking);
/* Reads the node's EMCY COB-ID into *cobId on VEXAN_OK (256 when the reply holds fewer than 2 bytes). */
VEXAN_API uint16_t Vexan_GetEMCYID(uint8_t slot, uint8_t node, uint16_t* cobId, uint8_t blocking);

/* Reads the last emergency message the module recorded for `node`: on VEXAN_OK
 * *flag holds the module's flag (0 whenever an EMCY callback is installed for
 * the board) and `data` (VEXAN_EMCY_DATA bytes) the message. Returns
 * VEXAN_NOTHING_TO_READ, outputs untouched, when none was recorded. Key: the node. */
VEXAN_API uint16_t Vexan_ReadLastEMCY(uint8_t slot, uint8_t node, uint8_t* flag, uint8_t* data, uint8_t blocking);

/* Reads the module's VEXAN_SYNC_CYCLIC_ENTRIES cyclic SYNC entries: COB-IDs,
 * 16-bit and 32-bit values (as given to Vexan_SendSYNCMsg), each array
 * VEXAN_SYNC_CYCLIC_ENTRIES long. Written on VEXAN_OK, and all set to 0 when
 * the module answers with an error status; untouched on the library's codes.
 * Key: none (one request per board). */
VEXAN_API uint16_t Vexan_GetCyclicSYNCInfo(uint8_t slot, uint16_t* cobIds, uint16_t* values16, uint32_t* values32,
                                           uint8_t blocking);

/* Has the module send SYNC messages on `cobId`; the two values are the
 * module's (passed through). Key: the COB-ID. */
VEXAN_API uint16_t Vexan_SendSYNCMsg(uint8_t slot, uint16_t cobId, uint16_t value16, uint32_t value32,
                                     uint8_t blocking);

#ifdef __cplusplus
}
#endif

#endif /* VEXAN_H */
