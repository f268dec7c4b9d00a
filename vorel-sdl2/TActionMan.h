// The action manager: named actions, generated from any thread, dispatched to
// the thread each handler asked for. TApplication is a TActionMan; the main
// loop calls ProcessActions once per pass and ExecuteActions per context.
#pragma once

namespace vorel_sdl2 {

enum ActionHandleType {
    ACTION_NORMAL = 0,     // main loop, while no frame is drawn
    ACTION_DRAW = 1,       // draw thread
    ACTION_THREAD_SAFE = 2, // main loop, every pass
    ACTION_ASYNC = 3,      // a thread per execution
    ACTION_ANY = 4         // only a filter when generating
};

class TActionMan {
public:
    TActionMan();
    ~TActionMan();

    // Moves every action generated since the last call into the run queue of
    // each handler context it matches.
    void ProcessActions();
    // Runs, on the calling thread, the queued actions of one context.
    void ExecuteActions(ActionHandleType ExecType);
};

} // namespace vorel_sdl2
