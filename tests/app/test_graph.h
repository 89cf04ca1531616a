// The program keeps its graph to the end of the process and releases nothing; a test lets go of
// what its graph holder kept, so leak checkers see only real leaks.
#pragma once

#include <string>
#include <vector>

#include "app/output_graph.h"

namespace apptest {

// The messages shown by a graph made with &RecordMessage, in order; each test clears it.
inline std::vector<std::string> g_messages;
inline void RecordMessage(const char* text) { g_messages.emplace_back(text); }

class TestGraph : public COutputGraph {
public:
    using COutputGraph::COutputGraph;
    ~TestGraph() override {
        // The graph is stopped first so no platform thread still uses what is let go.
        if (m_pControl != nullptr) m_pControl->Stop();
        Release(m_pControl);
        Release(m_pEvent);
        for (IPin** pin : {&m_pSourceOut, &m_pEncoderIn, &m_pEncoderOut, &m_pMuxerIn, &m_pMuxerOut,
                           &m_pDeviceIn}) {
            Release(*pin);
        }
        for (IBaseFilter*& filter : m_pFilter) Release(filter);
        Release(m_pGraph);
    }

private:
    template <typename T>
    static void Release(T*& p) {
        if (p != nullptr) p->Release();
        p = nullptr;
    }
};

}  // namespace apptest
