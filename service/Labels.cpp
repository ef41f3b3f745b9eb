#include "service/Labels.h"

#include <cstdio>

namespace cv::service {

namespace {
constexpr const char* kFile = "labels.json";
}

std::optional<std::string> LabelRefusal(const std::string& label)
{
    const std::string rule = "label: 1 to 40 characters, no control characters, no spaces at either end";
    std::size_t characters = 0;
    for (const char ch : label) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f)
            return rule;
        // Continuation bytes are part of the character before them.
        if ((c & 0xc0) != 0x80)
            ++characters;
    }
    if (characters == 0 || characters > kMaxLabelCharacters || label.front() == ' ' || label.back() == ' ')
        return rule;
    return std::nullopt;
}

Result<Label> LabelBody(const Json& body)
{
    if (!body.is_object())
        return Failure("body: an object {\"label\": \"...\"}");
    for (const auto& [key, value] : body.items())
        if (key != "label" && key != "room")
            return Failure(key + ": not a field of a label");
    const auto it = body.find("label");
    if (it == body.end() || !it->is_string())
        return Failure("label: a string is needed");
    Label out{it->get<std::string>(), {}};
    if (const auto why = LabelRefusal(out.label))
        return Failure(*why);
    if (const auto room = body.find("room"); room != body.end() && !room->is_null()) {
        if (!room->is_string())
            return Failure("room: a string is needed");
        out.room = room->get<std::string>();
        if (!out.room.empty() && LabelRefusal(out.room))
            return Failure("room: 1 to 40 characters, no control characters, no spaces at either end");
    }
    return out;
}

LabelStore::LabelStore(std::string stateDir) : dir_(std::move(stateDir)) { }

Result<std::map<std::string, Label>> LabelStore::Entries() const
{
    const auto text = ReadWholeFile(dir_ + "/" + kFile);
    if (!text)
        return Failure(text.error());
    std::map<std::string, Label> out;
    if (!*text)
        return out;
    const Json j = Json::parse(**text, nullptr, false);
    if (!j.is_object())
        return Failure(std::string(kFile) + ": not a JSON object");
    for (const auto& [mac, value] : j.items()) {
        // A file edited by hand keeps what still reads as a label.
        const auto normal = NormalMac(mac);
        if (!normal)
            continue;
        if (value.is_string() && !LabelRefusal(value.get<std::string>()))
            out[*normal] = {value.get<std::string>(), {}};
        else if (value.is_object())
            if (const auto label = LabelBody(value))
                out[*normal] = *label;
    }
    return out;
}

Result<std::map<std::string, std::string>> LabelStore::All() const
{
    const auto entries = Entries();
    if (!entries)
        return Failure(entries.error());
    std::map<std::string, std::string> out;
    for (const auto& [mac, entry] : *entries)
        out[mac] = entry.label;
    return out;
}

Result<std::map<std::string, std::string>> LabelStore::Rooms() const
{
    const auto entries = Entries();
    if (!entries)
        return Failure(entries.error());
    std::map<std::string, std::string> out;
    for (const auto& [mac, entry] : *entries)
        if (!entry.room.empty())
            out[mac] = entry.room;
    return out;
}

std::vector<std::string> LabelStore::Problems() const
{
    if (const auto all = All(); !all)
        return {all.error().rfind(kFile, 0) == 0 ? all.error() : std::string(kFile) + ": cannot be read"};
    return {};
}

Result<void> LabelStore::Write(const std::map<std::string, Label>& labels)
{
    if (auto made = MakeDirectories(dir_); !made)
        return made;
    Json j = Json::object();
    for (const auto& [mac, entry] : labels) {
        if (entry.room.empty())
            j[mac] = entry.label;
        else
            j[mac] = {{"label", entry.label}, {"room", entry.room}};
    }
    return WriteFileAtomically(dir_, kFile, j.dump(2) + "\n");
}

Result<void> LabelStore::Set(const std::string& mac, const std::string& label, const std::string& room)
{
    auto all = Entries();
    if (!all && all.error().rfind(kFile, 0) == 0) {
        // Unreadable: kept aside for the operator, and labels start afresh.
        const std::string file = dir_ + "/" + kFile;
        if (std::rename(file.c_str(), (file + ".corrupt").c_str()) != 0)
            return Failure(all.error());
        all = std::map<std::string, Label>{};
    }
    if (!all)
        return Failure(all.error());
    (*all)[mac] = {label, room};
    return Write(*all);
}

Result<bool> LabelStore::Remove(const std::string& mac)
{
    auto all = Entries();
    if (!all)
        return Failure(all.error());
    if (all->erase(mac) == 0)
        return false;
    if (auto written = Write(*all); !written)
        return Failure(written.error());
    return true;
}

}  // namespace cv::service
