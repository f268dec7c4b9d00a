// The timed-task manager: periodic, counted and one-shot tasks run by the main
// loop, the draw thread or a thread of their own. TApplication is a TTaskMan.
#pragma once

namespace vorel_sdl2 {

enum TimedTaskType {
    TASK_NORMAL = 0,
    TASK_DRAW = 1,
    TASK_THREAD_SAFE = 2,
    TASK_ANY = 3
};

class TTaskMan {
public:
    TTaskMan();
    ~TTaskMan();

    // Runs, on the calling thread, the tasks of one context whose interval is due.
    void ProcessTasks(TimedTaskType type);
};

} // namespace vorel_sdl2
