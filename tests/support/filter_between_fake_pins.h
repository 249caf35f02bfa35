// FilterBetweenFakePins<Filter>: a transform filter between an upstream output pin and a
// downstream input pin, both fake, with a fake allocator for either side (the downstream pin
// hands out `outAlloc`) and, when given a name for it, in a fake graph that records events.
// Everything records into `log`, which exists before the filter so that the filter can record
// into it too. Connection is left to the test or fuzz target. The harness holds one reference
// on the filter and on each fake; Dismantle gives them back, after which the fakes' live
// counts show whether the filter kept any. Tests and fuzz targets derive from it. Not for
// concurrent use, though the filter may call the fakes from its own threads.
#pragma once

#include "framework/transform_filter.h"
#include "framework/transform_pins.h"
#include "tests/support/fakes.h"

namespace fakes {

// A filter made by its class's CreateInstance, with one reference for the caller; null (and
// the failure in `hr`) when it could not be made.
template <class Filter>
Filter* CreateFilter(HRESULT* hr)
{
    *hr = S_OK;
    CUnknown* object = Filter::CreateInstance(nullptr, hr);
    if (!object) return nullptr;
    object->NonDelegatingAddRef();
    return static_cast<Filter*>(object);
}

template <class Filter>
class FilterBetweenFakePins {
public:
    FilterBetweenFakePins()
        : upstream(new FakePin(&log, "up", PINDIR_OUTPUT)),
          downstream(new FakePin(&log, "down", PINDIR_INPUT)),
          inAlloc(new FakeAllocator(&log, "in")),
          outAlloc(new FakeAllocator(&log, "out"))
    {
        downstream->SetAllocator(outAlloc);
    }
    ~FilterBetweenFakePins() { Dismantle(); }

    // Puts `filter` between the fakes, taking over the caller's reference on it; joins it to a
    // fake graph as `graphName` unless that is null, and answers what the join answered.
    HRESULT Insert(Filter* inserted, LPCWSTR graphName = nullptr)
    {
        filter = inserted;
        if (!graphName) return S_OK;
        graph = new FakeGraph(&log);
        return filter->JoinFilterGraph(graph, graphName);
    }
    FilterBetweenFakePins(const FilterBetweenFakePins&) = delete;
    FilterBetweenFakePins& operator=(const FilterBetweenFakePins&) = delete;

    CTransformInputPin* Input() const { return static_cast<CTransformInputPin*>(filter->GetPin(0)); }
    CTransformOutputPin* Output() const { return static_cast<CTransformOutputPin*>(filter->GetPin(1)); }

    // What the filter answered while it was taken apart.
    struct Ending {
        HRESULT stop = S_OK;
        HRESULT inputDisconnect = S_OK;
        HRESULT outputDisconnect = S_OK;
    };

    // Stops the filter, disconnects it from both fakes, takes it out of the graph and lets go
    // of everything; only the first call does anything.
    Ending Dismantle()
    {
        Ending ending;
        if (!upstream) return ending;
        if (filter) {
            ending.stop = filter->Stop();
            ending.inputDisconnect = Input()->Disconnect();
            ending.outputDisconnect = Output()->Disconnect();
            downstream->Disconnect();
            if (graph) filter->JoinFilterGraph(nullptr, nullptr);
            filter->NonDelegatingRelease();
            filter = nullptr;
        }
        upstream->Release();
        downstream->Release();
        inAlloc->Release();
        outAlloc->Release();
        if (graph) graph->Release();
        upstream = downstream = nullptr;
        inAlloc = outAlloc = nullptr;
        graph = nullptr;
        return ending;
    }

    CallLog log;
    Filter* filter = nullptr;
    FakePin* upstream;
    FakePin* downstream;
    FakeAllocator* inAlloc;
    FakeAllocator* outAlloc;
    FakeGraph* graph = nullptr;
};

}  // namespace fakes
