#include "opcda/DATag.h"

#include "config/LevelTag.h"

std::string CDATag::FullName() const
{
    return m_owner != nullptr ? m_owner->FullPath() : std::string();
}
