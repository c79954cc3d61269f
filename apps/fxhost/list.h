// fxhost list: every effect with its name, description and parameters.
#pragma once
#include <ostream>
#include <string>

#include "refhost/catalog.h"

namespace fxhost {

struct ListOptions {
    bool json = false;
    std::string language;  // "DEU"; empty: the module's choice for the locale
};

void List(const std::string& modulePath, const ListOptions& options, std::ostream& out);

// The two output forms of a module description.
void PrintCatalogText(const refhost::ModuleInfo& info, std::ostream& out);
void PrintCatalogJson(const refhost::ModuleInfo& info, std::ostream& out);

}  // namespace fxhost
