#include "config/ChannelEditing.h"

#include "app/SingleVectors.h"
#include "config/LevelRoot.h"
#include "transports/ChannelFactory.h"

#include <memory>

CLevelChannel* AddChannel(CSingleVectors& app, const CChannelForm& form, CLevelChannel::ThreadRoutine routine)
{
    CLevelRoot* root = app.Root();
    std::unique_ptr<CLevelChannel> owned = CreateChannel(form.Kind());
    if (root == nullptr || !owned) {
        return nullptr;
    }
    CLevelChannel& channel = *owned;
    ApplyChannelForm(form, channel);
    channel.Initialise();
    {
        CCriticalSectionLock lock(app.ConfigurationLock());
        root->AddLevel(std::move(owned));
    }
    (void)channel.Build();
    (void)channel.StartThread(routine);
    return &channel;
}

void EditChannel(CSingleVectors& app, CLevelChannel& channel, const CChannelForm& form,
                 CLevelChannel::ThreadRoutine routine)
{
    (void)channel.Restart(
        [&app, &form](CLevelChannel& c) {
            CCriticalSectionLock lock(app.ConfigurationLock());
            ApplyChannelForm(form, c);
        },
        routine);
}

void DeleteChannel(CSingleVectors& app, CLevelChannel& channel)
{
    channel.StopThread();
    channel.Teardown();
    std::unique_ptr<CLevelElementBase> doomed;
    if (CLevelRoot* root = app.Root()) {
        CCriticalSectionLock lock(app.ConfigurationLock());
        doomed = root->TakeLevel(channel.FullPath());
    }
}
