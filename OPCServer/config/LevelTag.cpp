#include "config/LevelTag.h"

#include "opcda/DATag.h"

CLevelTag::CLevelTag() : CLevelElementBase(kKindTag) {}

CLevelTag::~CLevelTag()
{
    Shutdown();
}

void CLevelTag::Initialise()
{
    if (!m_item) {
        m_item = std::make_unique<CDATag>();
    }
    m_item->SetOwner(this);
}

void CLevelTag::Shutdown()
{
    m_item.reset();
}

CLevelElementBase* CLevelTag::Group() const
{
    CLevelElementBase* group = Parent();
    while (group != nullptr && group->Kind() != kKindGroup) {
        group = group->Parent();
    }
    return group;
}
