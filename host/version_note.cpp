// The module's version as text inside the module file. Nothing exports it: a program that wants
// to know which module it loaded reads "ZalvoIntf version <x.y.z>" from the file itself.
#ifndef ZALVO_VERSION
#error "ZALVO_VERSION must name the project version"
#endif

__attribute__((used)) static const char version_note[] = "ZalvoIntf version " ZALVO_VERSION;
