#include "core/timer_driver.h"

#include <allegro.h>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <thread>

#include "core/threads.h"

using timer_clock = std::chrono::steady_clock;

struct timer_slot {
  void (*proc)();               // a plain handler, or
  void (*param_proc)(void*);    // one called with its param
  void* param;
  timer_clock::duration period;
  timer_clock::time_point due;  // the next call's place on the grid
  bool (*nothing_to_do)();      // rest test, or null: always called
  bool resting;                 // skipped at the last look
};

enum { timer_slots = 16 };

static timer_slot timers[timer_slots];      // installed handlers; both procs null when free
static std::mutex timer_lock;               // guards timers and everything below
static std::condition_variable timer_news;  // for the thread: a handler, a wake or the end
static std::condition_variable call_over;   // for remove_int: a handler's call returned
static std::thread ticker;                  // calls the handlers
static bool ticker_started, ticker_ending;
static bool ticker_refused;                 // no thread to be had: said once, not asked again
static const void* in_call;                 // the handler being called, outside the lock

// Allegro's periods are counted in its own ticks.
static timer_clock::duration ticks_to_duration(long speed) {
  return std::chrono::nanoseconds(speed * 1000000000LL / TIMERS_PER_SECOND);
}

static void step_past(timer_slot& t, timer_clock::time_point now) {
  if (t.due > now) return;
  t.due += t.period * ((now - t.due) / t.period + 1);
}

static const void* handler_of(const timer_slot& t) {
  return t.proc ? (const void*)t.proc : (const void*)t.param_proc;
}

static void run_ticker() {
  pthread_setname_np(pthread_self(), "timer");
  std::unique_lock<std::mutex> lock(timer_lock);
  while (!ticker_ending) {
    auto now = timer_clock::now();
    timer_clock::time_point next = timer_clock::time_point::max();
    for (timer_slot& t : timers) {
      if (!handler_of(t)) continue;
      if (t.nothing_to_do && t.nothing_to_do()) {
        t.resting = true;
        continue;
      }
      if (t.resting) {  // back from a rest: the next call on the grid, not one now
        t.resting = false;
        step_past(t, now);
      }
      if (t.due <= now) {
        timer_slot call = t;
        in_call = handler_of(t);
        lock.unlock();
        if (call.proc) call.proc();
        else call.param_proc(call.param);
        lock.lock();
        in_call = nullptr;
        call_over.notify_all();
        if (handler_of(t) == handler_of(call) && t.param == call.param) step_past(t, timer_clock::now());
        next = timer_clock::time_point::min();  // look again: the table may have changed
        break;
      }
      if (t.due < next) next = t.due;
    }
    if (next == timer_clock::time_point::min()) continue;
    if (next == timer_clock::time_point::max()) timer_news.wait(lock);
    else timer_news.wait_until(lock, next);
  }
}

static int install(void (*proc)(), void (*param_proc)(void*), void* param, long speed) {
  if (speed <= 0) speed = 1;
  std::lock_guard<std::mutex> hold(timer_lock);
  if (!ticker_started) {
    if (ticker_refused) return -1;
    ticker_ending = false;
    ticker_refused = !start_thread(ticker, run_ticker, "Esc and Tab keys");
    if (ticker_refused) return -1;
    ticker_started = true;
  }
  timer_slot* slot = nullptr;
  for (timer_slot& t : timers)  // installed again: a new period
    if (t.proc == proc && t.param_proc == param_proc && t.param == param && handler_of(t)) slot = &t;
  for (timer_slot& t : timers)
    if (!slot && !handler_of(t)) slot = &t;
  if (!slot) return -1;
  // A free slot's rest test is null; one installed again keeps its own
  *slot = timer_slot{proc, param_proc, param, ticks_to_duration(speed), timer_clock::now(), slot->nothing_to_do, false};
  slot->due += slot->period;
  timer_news.notify_one();
  return 0;
}

static void remove(void (*proc)(), void (*param_proc)(void*), void* param) {
  std::unique_lock<std::mutex> lock(timer_lock);
  for (timer_slot& t : timers)
    if (handler_of(t) && t.proc == proc && t.param_proc == param_proc && t.param == param) t = timer_slot{};
  // Whatever the handler uses may go once this returns.
  const void* gone = proc ? (const void*)proc : (const void*)param_proc;
  if (ticker.get_id() != std::this_thread::get_id())
    call_over.wait(lock, [gone] { return in_call != gone; });
  timer_news.notify_one();
}

static int timer_init() { return 0; }

static void timer_exit() {
  {
    std::lock_guard<std::mutex> hold(timer_lock);
    for (timer_slot& t : timers) t = timer_slot{};
    ticker_ending = true;
    timer_news.notify_one();
  }
  if (ticker.joinable()) ticker.join();
  ticker_started = ticker_refused = false;
}

static int timer_install_int(void (*proc)(), long speed) { return install(proc, nullptr, nullptr, speed); }
static void timer_remove_int(void (*proc)()) { remove(proc, nullptr, nullptr); }
static int timer_install_param_int(void (*proc)(void*), void* param, long speed) {
  return install(nullptr, proc, param, speed);
}
static void timer_remove_param_int(void (*proc)(void*), void* param) { remove(nullptr, proc, param); }

static void timer_rest(unsigned int ms, void (*callback)()) {
  auto end = timer_clock::now() + std::chrono::milliseconds(ms);
  if (callback) {
    while (timer_clock::now() < end) callback();
  } else if (ms == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_until(end);
  }
}

static TIMER_DRIVER own_timer = {
    AL_ID('P', 'V', 'T', 'M'), "", "", "Plu Vesk timer", timer_init, timer_exit,
    timer_install_int, timer_remove_int, timer_install_param_int, timer_remove_param_int,
    nullptr, nullptr, timer_rest};

static _DRIVER_INFO own_timer_list[] = {{own_timer.id, &own_timer, TRUE}, {0, nullptr, 0}};

static _DRIVER_INFO* own_timer_drivers() { return own_timer_list; }

void use_own_timer() {
  if (system_driver) system_driver->timer_drivers = own_timer_drivers;
}

void let_timer_rest(void (*proc)(), bool (*nothing_to_do)()) {
  std::lock_guard<std::mutex> hold(timer_lock);
  for (timer_slot& t : timers)
    if (t.proc == proc && proc) t.nothing_to_do = nothing_to_do;
  timer_news.notify_one();
}

// The rest tests run under the lock on both sides, so a change made before
// this call is seen either by the thread's next look or here.
void wake_timer() {
  std::lock_guard<std::mutex> hold(timer_lock);
  for (const timer_slot& t : timers)
    if (t.resting && !t.nothing_to_do()) {
      timer_news.notify_one();
      return;
    }
}
