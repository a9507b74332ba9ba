#include "gateway.h"

namespace gateway {

bool FindGate(Gateway *gw, const std::string &line, const std::string &gate, Line **ppLine, size_t *pIndex) {
    for (const auto &l : gw->lines) {
        if (l->config.name != line) continue;
        for (size_t i = 0; i < l->config.gates.size(); ++i) {
            if (l->config.gates[i].name != gate) continue;
            *ppLine = l.get();
            *pIndex = i;
            return true;
        }
    }
    return false;
}

}  // namespace gateway
