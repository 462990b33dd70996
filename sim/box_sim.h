#pragma once

// A simulated positioner box on a pseudo-terminal.
//
// The box plays the box's side of every conversation of the serial line, one
// answer per byte received, on a thread of its own (the tool's GUI thread
// blocks in waits and sleeps, so the box must never depend on it). Faults can
// be scripted at chosen points of a conversation. Every accessor is
// thread-safe.
//
// The pieces, each with a header of its own:
//  pty_peer.h   the line: bytes, their times, and the far end of a
//               pseudo-terminal (PtyPeer), without any protocol;
//  box_data.h   what the box holds and receives: records, update blocks;
//  box_faults.h the fault language: Conversation, Step, Point, Trigger, Fault;
//  box.h        the box itself (Box).

#include "box.h"
#include "box_data.h"
#include "box_faults.h"
#include "pty_peer.h"
