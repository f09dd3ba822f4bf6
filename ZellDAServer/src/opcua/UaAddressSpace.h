#pragma once
// The endpoint's address space. Namespace 0 is a small graph of the standard
// nodes clients read on connect (folders, the Server object, the types in
// use). Namespace 1 is the toolkit's item space as it stands: a node per
// dotted path, "ns=1;s=" + the path, a folder for a branch and a variable for
// an item, answered from the registry of item IDs without a node object.

#include "opcua/protocol/UaMessages.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ua {

constexpr uint16_t kItemNamespace = 1;
extern const char kStandardNamespaceUri[];

// What the Server object tells about the server.
struct ServerInfo {
    std::string applicationUri;
    std::string applicationName;
    std::string productUri;
    std::string manufacturer;
    std::string softwareVersion;
    std::string buildNumber;
    DateTime startTime;
};

struct StandardNode {
    struct Ref {
        uint32_t type;
        uint32_t target;
        bool forward;
    };
    uint32_t id = 0;
    NodeClass nodeClass = NodeClass::Unspecified;
    std::string browseName;
    std::string inverseName;  // reference types
    bool isAbstract = false;
    bool symmetric = false;
    uint32_t typeDefinition = 0;  // objects and variables
    uint32_t dataType = 0;        // variables and variable types
    int32_t valueRank = -1;
    bool dynamic = false;  // the value is worked out when read
    Variant value;
    std::vector<Ref> refs;
};

// A node a request names.
struct NodeRef {
    enum Kind { Unknown, Standard, Folder, Item } kind = Unknown;
    const StandardNode* standard = nullptr;
    std::string path;  // Folder and Item: the dotted path
};

class CUaAddressSpace {
   public:
    // serverState gives the program's state for ServerStatus.State.
    CUaAddressSpace(ServerInfo info, std::function<ServerState()> serverState);

    const ServerInfo& Info() const { return m_info; }
    NodeRef Resolve(const NodeId& id) const;
    const StandardNode* Standard(uint32_t id) const;
    bool IsReferenceType(const NodeId& id) const;
    // True when type is ofType or derives from it.
    bool IsSubtype(uint32_t type, uint32_t ofType) const;

    // One node's references from `position` on (0: the first), at most `max`
    // of those that pass the description's filters; *next is where to go on,
    // 0 when there is nothing more. The description is checked first.
    StatusCode Browse(const NodeRef& node, const BrowseDescription& d, uint32_t position, uint32_t max,
                      std::vector<ReferenceDescription>* out, uint32_t* next) const;
    // Targets of one relative path element.
    void Follow(const NodeRef& from, const RelativePathElement& element, std::vector<NodeRef>* targets) const;

    // An attribute that needs neither the program nor a session: every
    // attribute of a standard node, and those of namespace 1 that follow from
    // the path alone. BadAttributeIdInvalid for what the node does not have;
    // kBadNotSupported for attributes the caller gets elsewhere (an item's
    // value and its properties).
    StatusCode ReadAttribute(const NodeRef& node, uint32_t attributeId, Variant* out) const;

    static NodeId IdOf(const NodeRef& node);

   private:
    void Build();
    Variant ValueOf(const StandardNode& node) const;
    template <typename Emit>
    void EnumerateStandard(const StandardNode& node, BrowseDirection direction, uint32_t position,
                           Emit&& emit) const;
    template <typename Emit>
    void EnumerateItemSpace(const NodeRef& node, BrowseDirection direction, uint32_t position,
                            Emit&& emit) const;

    ServerInfo m_info;
    std::function<ServerState()> m_serverState;
    std::unordered_map<uint32_t, StandardNode> m_nodes;
};

}  // namespace ua
