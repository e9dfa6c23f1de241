// Board profiles of the simulated board, read from SimulatedBoards.xml.
//
// The file is read at every open, so that a changed file (or a changed
// ZARN_SIMBOARD_FILE) takes effect without a restart. Any error names the
// file and the line and makes the open fail: a board described wrongly must
// not come up half-configured.
#include "ZarnSimBoard.h"

#include "ZarnUtility.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#ifndef ZARN_DEFAULT_DEFINITIONS_DIR
#define ZARN_DEFAULT_DEFINITIONS_DIR "."
#endif

static const c_LogModule_t kLog = {"ZarnSimBoardLog.txt", "ZarnSimProfiles"};

namespace zsim {
namespace {

struct ParseError {
    int line;
    std::string message;
};

std::string Attribute(xmlNodePtr node, const char* name, bool* present = nullptr) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (present)
        *present = value != nullptr;
    if (!value)
        return std::string();
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

bool Has(xmlNodePtr node, const char* name) {
    return xmlHasProp(node, reinterpret_cast<const xmlChar*>(name)) != nullptr;
}

std::string Name(xmlNodePtr node) { return reinterpret_cast<const char*>(node->name); }

[[noreturn]] void Fail(xmlNodePtr node, const std::string& message) {
    throw ParseError{static_cast<int>(xmlGetLineNo(node)), message};
}

void CheckAttributes(xmlNodePtr node, std::initializer_list<const char*> allowed) {
    for (xmlAttrPtr a = node->properties; a; a = a->next) {
        bool known = false;
        for (const char* name : allowed)
            if (std::strcmp(name, reinterpret_cast<const char*>(a->name)) == 0)
                known = true;
        if (!known)
            Fail(node, "unknown attribute '" + std::string(reinterpret_cast<const char*>(a->name)) + "' of <" +
                           Name(node) + ">");
    }
}

uint64_t Unsigned(xmlNodePtr node, const char* name, uint64_t max, uint64_t fallback, bool required = false) {
    bool present = false;
    std::string text = Attribute(node, name, &present);
    if (!present) {
        if (required)
            Fail(node, "<" + Name(node) + "> lacks the attribute '" + name + "'");
        return fallback;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || errno != 0 || *end != '\0' || v > max)
        Fail(node, "attribute '" + std::string(name) + "' of <" + Name(node) + "> is not a number from 0 to " +
                       std::to_string(max) + ": '" + text + "'");
    return v;
}

double Real(xmlNodePtr node, const char* name, double min, double max, double fallback) {
    bool present = false;
    std::string text = Attribute(node, name, &present);
    if (!present)
        return fallback;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v < min || v > max)
        Fail(node, "attribute '" + std::string(name) + "' of <" + Name(node) + "> is not a number from " +
                       std::to_string(min) + " to " + std::to_string(max) + ": '" + text + "'");
    return v;
}

void CopyText(xmlNodePtr node, const char* attribute, char* destination, size_t size) {
    std::string text = Attribute(node, attribute);
    if (text.size() >= size)
        Fail(node,
             "attribute '" + std::string(attribute) + "' is longer than " + std::to_string(size - 1) + " characters");
    std::memset(destination, 0, size);
    std::memcpy(destination, text.data(), text.size());
}

int LinkTypeOf(xmlNodePtr node, const std::string& text) {
    static const char* names[] = {"usb", "optical", "usb-bridge", "pcie", "vme-bridge", "usb-direct", "network"};
    for (int i = 0; i < 7; ++i)
        if (text == names[i])
            return i;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (!text.empty() && *end == '\0' && v >= 0 && v <= 6)
        return static_cast<int>(v);
    Fail(node, "unknown link type '" + text + "'");
}

void ParseAddress(xmlNodePtr node, Profile& p) {
    CheckAttributes(node, {"none", "link", "number", "node", "base", "address"});
    if (Has(node, "none")) {
        if (Attribute(node, "none") != "true")
            Fail(node, "attribute 'none' of <Address> must be \"true\"");
        if (Has(node, "link") || Has(node, "number") || Has(node, "node") || Has(node, "base") || Has(node, "address"))
            Fail(node, "an <Address none=\"true\"> takes no connection parameters");
        p.noConnection = true;
        return;
    }
    if (!Has(node, "link"))
        Fail(node, "<Address> lacks the attribute 'link'");
    p.linkType = LinkTypeOf(node, Attribute(node, "link"));
    if (p.linkType == ZARN_DGTZ_LINK_NETWORK) {
        p.addressText = Attribute(node, "address");
        if (p.addressText.empty())
            Fail(node, "a network <Address> needs the attribute 'address'");
    } else {
        p.linkNumber = static_cast<int>(Unsigned(node, "number", 0x7FFFFFFF, 0));
    }
    p.node = static_cast<int>(Unsigned(node, "node", 0x7FFFFFFF, 0));
    p.vmeBase = static_cast<uint32_t>(Unsigned(node, "base", 0xFFFFFFFFu, 0));
}

void ParseInfo(xmlNodePtr node, Profile& p) {
    CheckAttributes(node, {"model", "modelNumber", "channels", "formFactor", "family", "boardFirmware",
                           "channelFirmware", "serial", "infoWord", "adcBits", "build", "linkInfo", "samplePeriod"});
    ZARN_DGTZ_BoardInfo_t& info = p.info;
    CopyText(node, "model", info.ModelName, sizeof info.ModelName);
    info.Model = static_cast<uint32_t>(Unsigned(node, "modelNumber", 0xFFFFFFFFu, 0, true));
    info.Channels = static_cast<uint32_t>(Unsigned(node, "channels", kMaxChannels, 0, true));
    if (info.Channels == 0)
        Fail(node, "a board needs at least one channel");
    info.FormFactor = static_cast<uint32_t>(Unsigned(node, "formFactor", 0xFFFFFFFFu, 2));
    info.FamilyCode = static_cast<uint32_t>(Unsigned(node, "family", 0xFFFFFFFFu, 0, true));
    CopyText(node, "boardFirmware", info.BoardFirmwareRel, sizeof info.BoardFirmwareRel);
    CopyText(node, "channelFirmware", info.ChannelFirmwareRel, sizeof info.ChannelFirmwareRel);
    unsigned code = 0, minor = 0;
    char rest = 0;
    if (std::sscanf(info.ChannelFirmwareRel, "%u.%u%c", &code, &minor, &rest) != 2)
        Fail(node,
             "channelFirmware must be \"<DPP code>.<minor revision>\": '" + std::string(info.ChannelFirmwareRel) + "'");
    p.dppCode = code;
    p.dppMinor = minor;
    info.SerialNumber = static_cast<uint32_t>(Unsigned(node, "serial", 0xFFFFFFFFu, 0));
    info.InfoWord = static_cast<uint32_t>(Unsigned(node, "infoWord", 0xFFFFFFFFu, 0));
    info.ADC_NBits = static_cast<uint32_t>(Unsigned(node, "adcBits", 16, 14));
    if (info.ADC_NBits < 8)
        Fail(node, "adcBits must be from 8 to 16");
    p.build = static_cast<uint32_t>(Unsigned(node, "build", 0xFFFF, 0));
    p.linkInfo = static_cast<uint32_t>(Unsigned(node, "linkInfo", 0xFFFFFFFFu, 0));
    info.LinkInfo = p.linkInfo;
    p.samplePeriodNs = Real(node, "samplePeriod", 0.01, 1000.0, 0.0);
}

void ParseSignal(xmlNodePtr node, Profile& p) {
    CheckAttributes(node, {"rate", "resolvingTime", "riseTime", "decayTime", "noise", "baseline", "seed", "clock"});
    SignalSpec& s = p.signal;
    s.rate = Real(node, "rate", 0.0, 1e8, s.rate);
    s.resolvingTimeNs = Real(node, "resolvingTime", 0.0, 1e9, s.resolvingTimeNs);
    s.riseTimeNs = Real(node, "riseTime", 0.1, 1e7, s.riseTimeNs);
    s.decayTimeNs = Real(node, "decayTime", 0.1, 1e9, s.decayTimeNs);
    if (s.decayTimeNs <= s.riseTimeNs)
        Fail(node, "decayTime must be longer than riseTime");
    s.noise = Real(node, "noise", 0.0, 1e4, s.noise);
    s.baseline = Real(node, "baseline", 0.0, 65535.0, -1.0);
    s.seed = Unsigned(node, "seed", UINT64_MAX, 0);
    if (Has(node, "clock")) {
        std::string clock = Attribute(node, "clock");
        if (clock == "wall")
            s.clockMode = 0;
        else if (clock == "fast")
            s.clockMode = 1;
        else if (clock == "manual")
            s.clockMode = 2;
        else
            Fail(node, "clock must be \"wall\", \"fast\" or \"manual\": '" + clock + "'");
    }
    for (xmlNodePtr c = node->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE)
            continue;
        if (Name(c) == "Peak") {
            CheckAttributes(c, {"centroid", "sigma", "weight"});
            if (!Has(c, "centroid"))
                Fail(c, "<Peak> lacks the attribute 'centroid'");
            SignalLine line;
            line.centroid = Real(c, "centroid", 0.0, 65535.0, 0.0);
            line.sigma = Real(c, "sigma", 0.0, 65535.0, 10.0);
            line.weight = Real(c, "weight", 0.0, 1e9, 1.0);
            s.lines.push_back(line);
        } else if (Name(c) == "Continuum") {
            CheckAttributes(c, {"weight", "slope"});
            s.continuumWeight = Real(c, "weight", 0.0, 1e9, s.continuumWeight);
            s.continuumSlope = Real(c, "slope", 1.0, 1e6, s.continuumSlope);
        } else {
            Fail(c, "unknown element <" + Name(c) + "> in <Signal>");
        }
    }
}

std::vector<uint8_t> ParseBytes(xmlNodePtr node, const std::string& text) {
    std::vector<uint8_t> bytes;
    size_t i = 0;
    while (i < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < text.size() && std::isxdigit(static_cast<unsigned char>(text[j])))
            ++j;
        if (j - i != 2)
            Fail(node, "page bytes must be two-digit hexadecimal numbers separated by spaces");
        bytes.push_back(static_cast<uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
        i = j;
    }
    return bytes;
}

void ParseFlash(xmlNodePtr node, Profile& p) {
    CheckAttributes(node, {"type"});
    p.flashType = static_cast<uint32_t>(Unsigned(node, "type", 3, 0));
    for (xmlNodePtr c = node->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE)
            continue;
        if (Name(c) != "Page")
            Fail(c, "unknown element <" + Name(c) + "> in <Flash>");
        CheckAttributes(c, {"number", "bytes"});
        uint32_t number = static_cast<uint32_t>(Unsigned(c, "number", 0xFFFF, 0, true));
        std::vector<uint8_t> bytes = ParseBytes(c, Attribute(c, "bytes"));
        if (bytes.size() > 1056)
            Fail(c, "a flash page holds at most 1056 bytes");
        p.flashPages[number] = bytes;
    }
}

Profile ParseBoard(xmlNodePtr node, const std::string& file) {
    Profile p;
    p.file = file;
    p.line = static_cast<int>(xmlGetLineNo(node));
    CheckAttributes(node, {"name"});
    p.name = Attribute(node, "name");
    if (p.name.empty())
        Fail(node, "<Board> lacks the attribute 'name'");
    bool address = false, info = false;
    for (xmlNodePtr c = node->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE)
            continue;
        std::string n = Name(c);
        if (n == "Address") {
            ParseAddress(c, p);
            address = true;
        } else if (n == "Info") {
            ParseInfo(c, p);
            info = true;
        } else if (n == "Memory") {
            CheckAttributes(c, {"code"});
            p.memoryCode = static_cast<uint32_t>(Unsigned(c, "code", 0xFF, 0, true));
        } else if (n == "Register") {
            CheckAttributes(c, {"address", "value"});
            uint32_t a = static_cast<uint32_t>(Unsigned(c, "address", 0xFFFFFFFFu, 0, true));
            uint32_t v = static_cast<uint32_t>(Unsigned(c, "value", 0xFFFFFFFFu, 0, true));
            p.registers.emplace_back(a, v);
        } else if (n == "ChannelRegister") {
            CheckAttributes(c, {"offset", "value"});
            uint32_t a = static_cast<uint32_t>(Unsigned(c, "offset", 0xFF, 0, true));
            uint32_t v = static_cast<uint32_t>(Unsigned(c, "value", 0xFFFFFFFFu, 0, true));
            p.channelRegisters.emplace_back(a, v);
        } else if (n == "Signal") {
            ParseSignal(c, p);
        } else if (n == "HighVoltage") {
            CheckAttributes(c, {"channels", "firmwareLevel", "polarity", "ranges"});
            p.hvChannels = static_cast<uint32_t>(Unsigned(c, "channels", 2, 0));
            p.hvFirmwareLevel = static_cast<uint32_t>(Unsigned(c, "firmwareLevel", 255, 2));
            p.hvRanges = static_cast<uint32_t>(Unsigned(c, "ranges", 3, 2));
            if (p.hvRanges == 0)
                Fail(c, "a high-voltage channel needs at least one range");
            const std::string pol = Attribute(c, "polarity"); // "P" when absent
            if (!pol.empty() && pol != "M" && pol != "N" && pol != "P")
                Fail(c, "polarity must be \"M\", \"N\" or \"P\"");
            p.hvPolarity = pol.empty() ? 'P' : pol[0];
        } else if (n == "Flash") {
            ParseFlash(c, p);
        } else {
            Fail(c, "unknown element <" + n + "> in <Board>");
        }
    }
    if (!address)
        Fail(node, "board '" + p.name + "' has no <Address>");
    if (!info)
        Fail(node, "board '" + p.name + "' has no <Info>");
    if (p.signal.lines.empty())
        p.signal.lines.push_back(SignalLine{2000.0, 12.0, 1.0});
    if (HasChannelGroups(p.info.FamilyCode, p.dppCode)) {
        if (p.info.Channels > 8)
            Fail(node, "a board of channel groups has at most 8 groups");
    } else if (p.info.Channels > 16) {
        Fail(node, "a board has at most 16 channels (or 8 groups of 8)");
    }
    return p;
}

std::string AddressKey(const Profile& p) {
    if (p.noConnection)
        return "none";
    if (p.linkType == ZARN_DGTZ_LINK_NETWORK)
        return "6:" + p.addressText + ":" + std::to_string(p.node);
    return std::to_string(p.linkType) + ":" + std::to_string(p.linkNumber) + ":" + std::to_string(p.node) + ":" +
           std::to_string(p.vmeBase);
}

} // namespace

std::string ProfilesPath() {
    const char* file = std::getenv("ZARN_SIMBOARD_FILE");
    if (file && *file)
        return file;
    const char* dir = std::getenv("DRAVIKDIR");
    std::string folder = (dir && *dir) ? dir : ZARN_DEFAULT_DEFINITIONS_DIR;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    return folder + "SimulatedBoards.xml";
}

int LoadProfiles(const std::string& path, std::vector<Profile>& profiles, std::string& error) {
    profiles.clear();
    xmlResetLastError();
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) {
        const xmlError* e = xmlGetLastError();
        char text[1024];
        if (e && e->line > 0)
            std::snprintf(text, sizeof text, "%s:%d: %s", path.c_str(), e->line,
                          e->message ? e->message : "malformed XML\n");
        else
            std::snprintf(text, sizeof text, "%s: cannot read the simulated-board profiles file\n", path.c_str());
        error = text;
        while (!error.empty() && error.back() == '\n')
            error.pop_back();
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "%s", error.c_str());
        return -1;
    }
    int result = 0;
    try {
        xmlNodePtr root = xmlDocGetRootElement(doc);
        if (!root || Name(root) != "SimulatedBoards")
            throw ParseError{root ? static_cast<int>(xmlGetLineNo(root)) : 1,
                             "the root element must be <SimulatedBoards>"};
        std::set<std::string> names, addresses;
        for (xmlNodePtr c = root->children; c; c = c->next) {
            if (c->type != XML_ELEMENT_NODE)
                continue;
            if (Name(c) != "Board")
                Fail(c, "unknown element <" + Name(c) + "> in <SimulatedBoards>");
            Profile p = ParseBoard(c, path);
            if (!names.insert(p.name).second)
                Fail(c, "a second board named '" + p.name + "'");
            if (!addresses.insert(AddressKey(p)).second)
                Fail(c, "board '" + p.name + "' has the address of an earlier board");
            profiles.push_back(std::move(p));
        }
    } catch (const ParseError& e) {
        error = path + ":" + std::to_string(e.line) + ": " + e.message;
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "%s", error.c_str());
        profiles.clear();
        result = -1;
    } catch (const std::exception& e) {
        error = path + ": " + e.what();
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "%s", error.c_str());
        profiles.clear();
        result = -1;
    }
    xmlFreeDoc(doc);
    return result;
}

} // namespace zsim
