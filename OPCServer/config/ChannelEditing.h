#pragma once
#include "config/ChannelForm.h"
#include "config/LevelChannel.h"

class CSingleVectors;

// The main window's changes to the running configuration, each in its order.
// The caller holds no lock: polling threads are waited for, and the toolkit's
// DeleteDAItem waits for client calls in flight. The root's list and a
// channel's name change under the configuration lock, so that a client's
// item lookup never walks a list being changed.

// A new channel of the form's kind: the form applied, Initialise (its
// transport opens), appended to the root, Build, its thread started.
// Answers the channel, or null without a root.
CLevelChannel* AddChannel(CSingleVectors& app, const CChannelForm& form,
                          CLevelChannel::ThreadRoutine routine = &ChannelPollingThread);

// Stop the thread, Close, Teardown, apply the form, Build, Open, start.
void EditChannel(CSingleVectors& app, CLevelChannel& channel, const CChannelForm& form,
                 CLevelChannel::ThreadRoutine routine = &ChannelPollingThread);

// Stop the thread, Teardown, out of the root; the channel is destroyed after
// the lock is released.
void DeleteChannel(CSingleVectors& app, CLevelChannel& channel);
