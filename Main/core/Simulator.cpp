#include "Simulator.h"

#include "UdsIOUtils.h"
#include "UdsStrUtils.h"
#include "UdsSysUtils.h"
#include "UdsXMLParser.h"

#include <memory>

namespace {

std::unique_ptr<TSimulator>& Instance() {
    static std::unique_ptr<TSimulator> instance;
    return instance;
}

std::string& FolderOverride() {
    static std::string folder;
    return folder;
}

// The child of the document element with this name, regardless of letter case.
TdsXMLNode Section(const TdsXMLNode& root, const std::string& name) {
    for (const TdsXMLNode& child : root.ChildNodes())
        if (TdsStrUtils::SameText(child.NodeName(), name))
            return child;
    return {};
}

} // namespace

void TSimulator::LoadTables(const std::string& folder) {
    cardTable_.clear();
    diskTable_.clear();
    downloadTable_.clear();
    std::string file = folder + "Request_Response.xml";
    if (!TdsIOUtils::FileExists(file))
        return;
    TdsXMLParser parser;
    std::string error;
    if (!parser.LoadFromFile(file, error))
        return;
    TdsXMLNode root = parser.Root;
    if (TdsXMLNode card = Section(root, "Card"))
        for (const TdsXMLNode& item : card.ChildNodes())
            cardTable_.emplace_back(item.Attribute("Request"), item.Attribute("Response"));
    if (TdsXMLNode disk = Section(root, "Disk"))
        for (const TdsXMLNode& item : disk.ChildNodes())
            diskTable_.emplace_back(item.Attribute("Request") + item.Attribute("Param"),
                                    item.Attribute("Response"));
    if (TdsXMLNode download = Section(root, "DownloadFileName"))
        for (const TdsXMLNode& item : download.ChildNodes())
            downloadTable_.emplace_back(item.NodeName(), item.Text());
}

bool TSimulator::Find(const TTable& table, const std::string& name, std::string& value) {
    for (const auto& entry : table)
        if (TdsStrUtils::SameText(entry.first, name)) {
            value = entry.second;
            return true;
        }
    return false;
}

std::string TSimulator::GetCardResponse(const std::string& apdu) const {
    std::string value;
    return Find(cardTable_, apdu, value) ? value : "90 00";
}

std::string TSimulator::GetDiskResponse(const std::string& command, const std::string& param) const {
    std::string value;
    if (Find(diskTable_, command + param, value))
        return value;
    if (Find(cardTable_, command + "*", value))
        return value;
    return "00 00";
}

std::string TSimulator::GetDownloadFileName(const std::string& stepCode) const {
    std::string value;
    return Find(downloadTable_, stepCode, value) ? value : "";
}

void TSimulator::SetFolder(const std::string& folder) {
    FolderOverride() = folder;
}

std::string TSimulator::Folder() {
    return FolderOverride().empty() ? TdsSysUtils::ModuleFolder() : FolderOverride();
}

TSimulator* GetSimulator() {
    auto& instance = Instance();
    if (!instance) {
        instance = std::make_unique<TSimulator>();
        instance->LoadTables(TSimulator::Folder());
    }
    return instance.get();
}

void FreeSimulator() {
    Instance().reset();
}
