/* Helpers shared by the parameter-model tests: XML snippets, the stand-in
 * plug-in's state and a digitizer record filled by hand on the simulated
 * board. */
#ifndef PARAM_TEST_SUPPORT_H
#define PARAM_TEST_SUPPORT_H

#include <libxml/parser.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "TestPlugin.h"
#include "ZarnDPPLayer.h"
#include "ZarnParameters_Collections.h"

namespace paramtest {

/* A parsed XML text; freed with the object. */
class Xml {
public:
    explicit Xml(const std::string& text)
        : doc_(xmlReadMemory(text.data(), (int)text.size(), "snippet.xml", NULL, XML_PARSE_NONET)) {}
    ~Xml() { xmlFreeDoc(doc_); }
    Xml(const Xml&) = delete;
    Xml& operator=(const Xml&) = delete;
    xmlDocPtr doc() const { return doc_; }
    xmlNodePtr root() const { return xmlDocGetRootElement(doc_); }
    /* The first element child of the root. */
    xmlNodePtr firstChild() const {
        for (xmlNodePtr n = root() != NULL ? root()->children : NULL; n != NULL; n = n->next)
            if (n->type == XML_ELEMENT_NODE)
                return n;
        return NULL;
    }

private:
    xmlDocPtr doc_;
};

/* Sends this module's messages, every level, to a folder of its own while
 * it lives, so that a test can read what was logged. */
class LogCapture {
public:
    LogCapture() {
        char pattern[] = "/tmp/paramlogXXXXXX";
        folder_ = mkdtemp(pattern) != NULL ? pattern : "/tmp";
        saveEnv("ZARN_LOG_DIR", &oldDir_);
        saveEnv("ZARN_LOG_LEVEL", &oldLevel_);
        setenv("ZARN_LOG_DIR", folder_.c_str(), 1);
        setenv("ZARN_LOG_LEVEL", "8", 1);
    }
    ~LogCapture() {
        restoreEnv("ZARN_LOG_DIR", oldDir_);
        restoreEnv("ZARN_LOG_LEVEL", oldLevel_);
        std::error_code ignored;
        if (folder_ != "/tmp")
            std::filesystem::remove_all(folder_, ignored); /* every module's log went there */
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    /* Everything the parameter module logged so far. */
    std::string text() const {
        std::ifstream file(folder_ + "/ZarnParametersLog.txt");
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }
    bool has(const std::string& fragment) const { return text().find(fragment) != std::string::npos; }

private:
    static void saveEnv(const char* name, std::unique_ptr<std::string>* old) {
        const char* value = getenv(name);
        if (value != NULL)
            *old = std::make_unique<std::string>(value);
    }
    static void restoreEnv(const char* name, const std::unique_ptr<std::string>& old) {
        if (old)
            setenv(name, old->c_str(), 1);
        else
            unsetenv(name);
    }
    std::string folder_;
    std::unique_ptr<std::string> oldDir_, oldLevel_;
};

/* The stand-in plug-in's state, reached by code name like its functions. */
inline TestPluginState_t& plugin() {
    return *(TestPluginState_t*)c_xml_getfunctionpointerfromcodename(NULL, "TestPluginState");
}

/* Frees every collection of a record and its parameters. */
inline void freeCollections(c_Digitizer_t* d) {
    _pcfreeall(d->boardColl);
    d->boardColl = NULL;
    for (auto& c : d->groupColl) {
        _pcfreeall(c);
        c = NULL;
    }
    for (auto& c : d->channels) {
        _pcfreeall(c.coll);
        c.coll = NULL;
    }
    for (auto& c : d->lvdsColl) {
        _pcfreeall(c);
        c = NULL;
    }
    for (auto& t : d->vtrace) {
        _pcfreeall(t.coll);
        t.coll = NULL;
    }
    for (auto& h : d->hv) {
        _pcfreeall(h.coll);
        h.coll = NULL;
        for (auto& r : h.ranges) {
            _pcfreeall(r.coll);
            r.coll = NULL;
        }
    }
    _pcfreeall(d->monOutColl);
    d->monOutColl = NULL;
    for (auto& c : d->vgaColl) {
        _pcfreeall(c);
        c = NULL;
    }
}

/* A zeroed record that looks like an open board of the given family, DPP
 * code and form factor, with one instance of every category (four
 * channels, two high-voltage ranges). */
inline std::unique_ptr<c_Digitizer_t> makeRecord(uint32_t family, const char* firmware, uint32_t formFactor = 0) {
    auto d = std::make_unique<c_Digitizer_t>();
    memset(d.get(), 0, sizeof(c_Digitizer_t));
    c_BoardDescriptor_t& b = d->descriptor;
    snprintf(b.ModelName, sizeof b.ModelName, "PTEST");
    b.SerialNumber = 42;
    b.FamilyCode = family;
    b.FormFactor = formFactor;
    snprintf(b.ChannelFirmwareRel, sizeof b.ChannelFirmwareRel, "%s", firmware);
    b.CommHandle = -1;
    b.SamplePeriod = 4.0;
    b.NumGroups = 1;
    b.NumChannels = 4;
    b.LVDSGroups = 1;
    b.AnalogVTraces = 1;
    b.DigitalVTraces = 1;
    b.HVChannels = 1;
    b.MonOuts = 1;
    b.VGAs = 1;
    d->hv[0].rangeCount = 2;
    d->kind = 0;
    d->handle = -1;
    return d;
}

} // namespace paramtest

#endif
