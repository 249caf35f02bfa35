// Writes the bundle's Turtle files from the plugin table: `durazodo-lv2-turtle DIR BINARY`
// writes DIR/manifest.ttl (each plugin and the library BINARY that holds it) and
// DIR/durazodo.ttl (each plugin's ports). Run at build time, so the data always describes the
// ports the code connects.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "plugins/lv2/plugins.h"

namespace {

using durazodo_lv2::PluginInfo;
using durazodo_lv2::PortInfo;
using durazodo_lv2::Role;

const char* const kPrefixes =
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf: <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix pg: <http://lv2plug.in/ns/ext/port-groups#> .\n"
    "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n\n";

// A Turtle string literal.
std::string Quoted(const std::string& s)
{
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

// A number as a Turtle decimal literal ("1.0", not "1").
std::string Decimal(float v)
{
    std::ostringstream o;
    o << v;
    std::string s = o.str();
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

// The group of a preset rig's outputs.
std::string OutputGroupUri(const PluginInfo& p) { return "<" + p.uri + "#out>"; }

void WritePort(std::ostream& o, const PluginInfo& plugin, const PortInfo& p, size_t index)
{
    const bool audio = p.role == Role::Input || p.role == Role::Output;
    const bool output = p.role == Role::Output || p.role == Role::Latency;
    o << "[\n        a lv2:" << (output ? "OutputPort" : "InputPort") << " , lv2:" << (audio ? "AudioPort" : "ControlPort")
      << " ;\n        lv2:index " << index << " ;\n        lv2:symbol " << Quoted(p.symbol)
      << " ;\n        lv2:name " << Quoted(p.name);
    if (p.role == Role::Latency) {
        o << " ;\n        lv2:designation lv2:latency ;\n        lv2:portProperty lv2:reportsLatency , lv2:integer ;\n"
             "        units:unit units:frame ;\n        lv2:minimum 0.0 ;\n        lv2:maximum "
          << Decimal(p.maximum);
    } else if (p.role == Role::Output && !plugin.outputGroup.empty()) {
        o << " ;\n        pg:group " << OutputGroupUri(plugin);
        if (!p.designation.empty()) o << " ;\n        lv2:designation pg:" << p.designation;
    } else if (!audio) {
        o << " ;\n        lv2:default " << Decimal(p.defaultValue) << " ;\n        lv2:minimum " << Decimal(p.minimum)
          << " ;\n        lv2:maximum " << Decimal(p.maximum);
        if (!p.choices.empty()) {
            o << " ;\n        lv2:portProperty lv2:integer , lv2:enumeration";
            for (const durazodo_lv2::ScalePoint& c : p.choices)
                o << " ;\n        lv2:scalePoint [ rdfs:label " << Quoted(c.label) << " ; rdf:value "
                  << Decimal(static_cast<float>(c.value)) << " ]";
        }
        if (p.role == Role::Rotation) o << " ;\n        units:unit units:degree";
    }
    o << "\n    ]";
}

void WritePlugin(std::ostream& o, const PluginInfo& p)
{
    o << "<" << p.uri << ">\n    a lv2:Plugin , lv2:SpatialPlugin ;\n    doap:name " << Quoted(p.name)
      << " ;\n    rdfs:comment " << Quoted(p.comment)
      << " ;\n    lv2:project <" << durazodo_lv2::kUriBase << "> ;\n    lv2:optionalFeature lv2:hardRTCapable , <http://lv2plug.in/ns/ext/log#log> , "
         "<http://lv2plug.in/ns/ext/urid#map> ;\n";
    if (!p.outputGroup.empty()) o << "    pg:mainOutput " << OutputGroupUri(p) << " ;\n";
    o << "    lv2:port ";
    for (size_t i = 0; i < p.ports.size(); ++i) {
        if (i) o << " , ";
        WritePort(o, p, p.ports[i], i);
    }
    o << " .\n\n";
    if (!p.outputGroup.empty())
        o << OutputGroupUri(p) << "\n    a pg:" << p.outputGroup << " , pg:OutputGroup ;\n    lv2:symbol \"out\" .\n\n";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: durazodo-lv2-turtle DIR BINARY\n");
        return 2;
    }
    const std::string dir = argv[1], binary = argv[2];
    std::ofstream manifest(dir + "/manifest.ttl"), data(dir + "/durazodo.ttl");
    manifest << kPrefixes;
    data << kPrefixes;
    data << "<" << durazodo_lv2::kUriBase << ">\n    a doap:Project ;\n    doap:name \"DUrazOdo\" ;\n"
         << "    doap:maintainer [ a foaf:Person ; foaf:name \"DUrazOdo project\" ] .\n\n";
    for (const PluginInfo& p : durazodo_lv2::Plugins()) {
        manifest << "<" << p.uri << ">\n    a lv2:Plugin ;\n    lv2:binary <" << binary
                 << "> ;\n    rdfs:seeAlso <durazodo.ttl> .\n\n";
        WritePlugin(data, p);
    }
    manifest.close();
    data.close();
    if (!manifest || !data) {
        std::fprintf(stderr, "durazodo-lv2-turtle: cannot write the Turtle files in %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
