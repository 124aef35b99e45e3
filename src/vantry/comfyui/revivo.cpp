// vantry.comfyui.revivo: restart a ComfyUI server through its manager
// interface and poll its statistics interface until it answers 200 again.
//
// The module imports `requests`, `time` and `logging` as module attributes
// and reaches `requests.get`, `requests.post`,
// `requests.exceptions.ConnectionError`, `time.time`, `time.sleep` and
// `logging.getLogger` through them at every call, as Python code naming those
// globals would: a host that patches any of them (or the module attributes
// themselves) controls the requests, the clock and the pause.
#include "errors.hpp"
#include "pyglue.hpp"

using namespace pyglue;

namespace {

constexpr const char* kModuleName = "vantry.comfyui.revivo";
constexpr const char* kDefaultBaseUrl = "http://127.0.0.1:8188";

struct State : StateBase {
    // module globals and the attributes reached through them
    PyObject *requests, *time, *logging, *get, *post, *exceptions, *ConnectionError, *sleep, *getLogger;
    // instance attributes and methods
    PyObject *base_url, *reboot_api, *stats_api, *timeout, *max_wait, *poll_interval, *flag, *logger;
    PyObject *trigger_reboot, *wait_service_ready;
    // other names
    PyObject *debug, *error, *status_code, *write, *rstrip;
    // constant values
    PyObject *default_base_url, *module_name, *slash, *reboot_path, *newer_reboot_path, *stats_path;
    PyObject *flag_head, *flag_tail, *empty, *newline, *remote_closed;
    PyObject *ok_status, *first_error_status, *not_found_status, *method_not_allowed_status;
    // the message catalogue
    PyObject *msg_reboot_called, *msg_reboot_dropped, *msg_reboot_conn_error, *msg_reboot_error;
    PyObject* msg_reboot_refused;
    PyObject *msg_poll_start, *msg_poll_ready, *msg_poll_status, *msg_poll_timeout;
    PyObject *line_conn_refused, *line_request_error;
    PyObject *msg_flow_ready, *msg_flow_timeout;
    PyMethodDef *trigger_def = nullptr, *wait_def = nullptr;
    PyObject* globals = nullptr;  // the module's namespace, borrowed
};

// ---- module globals, looked up at each use ---------------------------------------

// A replaced `requests` or `time` attribute of this module takes effect.
Ref global(State& st, PyObject* name) { return module_global(st.globals, name); }

Ref requests_get(State& st) { return getattr(global(st, st.requests).get(), st.get); }
Ref requests_post(State& st) { return getattr(global(st, st.requests).get(), st.post); }

// requests.exceptions.ConnectionError
Ref connection_error_class(State& st) {
    Ref exceptions = getattr(global(st, st.requests).get(), st.exceptions);
    return getattr(exceptions.get(), st.ConnectionError);
}

Ref clock_now(State& st) {
    Ref time_fn = getattr(global(st, st.time).get(), st.time);
    return call(time_fn.get());
}

// ---- small pieces ----------------------------------------------------------------

// self.logger, read afresh at each log call so a replaced logger takes
// effect; the caller then reads the message arguments and calls
// call_method(logger, level, ...), which needs no bound method object.
Ref logger_of(State& st, PyObject* self) { return getattr(self, st.logger); }

// send(url, timeout=self.timeout), `send` being requests.get or
// requests.post. A failed request, the common case while a server restarts,
// returns an empty Ref with the error set instead of throwing; failures
// before the request throw.
Ref http_send(State& st, PyObject* self, PyObject* send, PyObject* url) {
    Ref timeout = getattr(self, st.timeout);
    Ref args = tuple_of({url});
    Ref kwargs = new_dict();
    dict_set(kwargs.get(), st.timeout, timeout.get());
    return Ref::steal_or_null(PyObject_Call(send, args.get(), kwargs.get()));
}

// requests.get(self.<url_attr>, timeout=self.timeout), as http_send.
Ref http_get(State& st, PyObject* self, PyObject* url_attr) {
    Ref get = requests_get(st);
    Ref url = getattr(self, url_attr);
    return http_send(st, self, get.get(), url.get());
}

// Writes `text` and a newline to the host's current sys.stdout, as print
// does: nothing when sys.stdout is None, RuntimeError when it is gone.
void print_line(State& st, PyObject* text) {
    Ref out = Ref::borrow(PySys_GetObject("stdout"));
    if (!out) raise(PyExc_RuntimeError, "lost sys.stdout");
    if (is_none(out.get())) return;
    Ref line = concat({text, st.newline});
    call_method(out.get(), st.write, line.get());
}

// f"{obj}"
Ref formatted(State& st, PyObject* obj) { return check(PyObject_Format(obj, st.empty)); }

bool py_compare(PyObject* a, PyObject* b, int op) {
    Ref result = check(PyObject_RichCompare(a, b, op));
    return truth(result.get());
}

// ---- constructor -------------------------------------------------------------------

constexpr auto kInit = sig(
    "ComfyUIManager.__init__",
    "($self, base_url='http://127.0.0.1:8188', timeout=5, max_wait_seconds=60, poll_interval=2.0, logger=None)",
    "base_url: the server's root URL; trailing slashes are dropped from the endpoint URLs.\n"
    "timeout: the time limit in seconds of every HTTP request.\n"
    "max_wait_seconds: how long wait_service_ready polls before giving up.\n"
    "poll_interval: the pause in seconds after each unsuccessful poll.\n"
    "logger: an object with debug() and error(); by default the logger 'vantry.comfyui.revivo'.",
    Param{"base_url", Kind::Str, Optional}, Param{"timeout", Kind::Int, Optional},
    Param{"max_wait_seconds", Kind::Int, Optional}, Param{"poll_interval", Kind::Float, Optional},
    Param{"logger", Kind::Any, Optional});

// base_url.rstrip("/")
Ref strip_trailing_slashes(State& st, PyObject* url) { return call_method(url, st.rstrip, st.slash); }

Ref default_logger(State& st) {
    Ref get_logger = getattr(global(st, st.logging).get(), st.getLogger);
    return call(get_logger.get(), st.module_name);
}

Ref init(State& st, PyObject* self, Args<5>& a) {
    PyObject* base_url = a.obj(0, st.default_base_url);
    Ref timeout = a.given(1) ? Ref::borrow(a.obj(1)) : new_int(5);
    Ref max_wait = a.given(2) ? Ref::borrow(a.obj(2)) : new_int(60);
    Ref poll_interval = new_float(a.real(3, 2.0));
    PyObject* logger = a.obj(4, Py_None);

    Ref stripped = strip_trailing_slashes(st, base_url);
    setattr(self, st.base_url, stripped.get());
    setattr(self, st.reboot_api, concat({stripped.get(), st.reboot_path}).get());
    setattr(self, st.stats_api, concat({stripped.get(), st.stats_path}).get());
    setattr(self, st.timeout, timeout.get());
    setattr(self, st.max_wait, max_wait.get());
    setattr(self, st.poll_interval, poll_interval.get());
    setattr(self, st.flag, concat({st.flag_head, base_url, st.flag_tail}).get());
    Ref chosen = truth(logger) ? Ref::borrow(logger) : default_logger(st);
    setattr(self, st.logger, chosen.get());
    return none();
}

// ---- trigger_reboot ------------------------------------------------------------------

constexpr auto kTriggerReboot =
    sig("ComfyUIManager.trigger_reboot", "($self)",
        "Ask the server's manager to restart. Sends GET reboot_api; when that route\n"
        "answers 404 or 405 (a newer manager, or none), tries the newer manager's\n"
        "route base_url + '/api/v2/manager/reboot' by POST, then by GET.\n"
        "Returns True when the restart was accepted (an answer below 400, or a\n"
        "connection the server dropped without answering), False when it was\n"
        "refused (the last answer was 400 or above; logged at ERROR), None when\n"
        "the request failed otherwise. Request errors are logged at DEBUG, never raised.");

enum class Reboot { Accepted, Refused, Unknown };

Ref reboot_result(Reboot outcome) {
    if (outcome == Reboot::Unknown) return none();
    return new_bool(outcome == Reboot::Accepted);
}

// The restart routes in the order tried: the manager 3.x custom node's
// (GET reboot_api), then the pip manager's under the same base URL, by POST
// (4.3 on, where every GET is 404) and by GET (4.0.x, where POST is 405).
constexpr int kRebootRoutes = 3;
constexpr int kNewerPostRoute = 1;

// self.base_url + "/api/v2/manager/reboot"
Ref newer_reboot_url(State& st, PyObject* self) {
    Ref base_url = getattr(self, st.base_url);
    return check(PyNumber_Add(base_url.get(), st.newer_reboot_path));
}

// 404 or 405: the server has no such route (or not for this method), so the
// next route may be the one its manager serves.
bool no_such_route(State& st, PyObject* status) {
    return equal(status, st.not_found_status) || equal(status, st.method_not_allowed_status);
}

// The except clauses of a restart request, in their order: connection
// errors first (a dropped connection is the expected answer), then any other
// Exception; anything else passes through. `url` is the URL that was called.
Reboot log_reboot_failure(State& st, PyObject* self, CaughtError& err, PyObject* url) {
    Ref connection_error = connection_error_class(st);
    if (err.matches(connection_error.get())) {
        Ref text = err.text();
        if (check_bool(PySequence_Contains(text.get(), st.remote_closed))) {
            Ref logger = logger_of(st, self);
            Ref flag = getattr(self, st.flag);
            call_method(logger.get(), st.debug, st.msg_reboot_dropped, flag.get(), url);
            return Reboot::Accepted;
        }
        Ref logger = logger_of(st, self);
        Ref flag = getattr(self, st.flag);
        call_method(logger.get(), st.debug, st.msg_reboot_conn_error, flag.get(), text.get(), url);
    } else if (err.matches(PyExc_Exception)) {
        Ref logger = logger_of(st, self);
        Ref flag = getattr(self, st.flag);
        Ref text = err.text();
        call_method(logger.get(), st.debug, st.msg_reboot_error, flag.get(), text.get(), url);
    } else {
        err.raise_again();  // KeyboardInterrupt, SystemExit and the like pass through
    }
    return Reboot::Unknown;
}

Reboot trigger_reboot_of(State& st, PyObject* self) {
    Ref url = getattr(self, st.reboot_api);  // the URL of the request being sent
    Ref status;                              // the answer to the last request
    Reboot outcome = Reboot::Refused;
    auto err = catch_error([&] {
        for (int route = 0; route < kRebootRoutes; ++route) {
            if (route == kNewerPostRoute) url = newer_reboot_url(st, self);
            Ref send = route == kNewerPostRoute ? requests_post(st) : requests_get(st);
            Ref resp = http_send(st, self, send.get(), url.get());
            if (!resp) return false;
            Ref logger = logger_of(st, self);
            Ref flag = getattr(self, st.flag);
            call_method(logger.get(), st.debug, st.msg_reboot_called, flag.get(), url.get());
            status = getattr(resp.get(), st.status_code);
            if (py_compare(status.get(), st.first_error_status, Py_LT)) {
                outcome = Reboot::Accepted;
                return true;
            }
            if (!no_such_route(st, status.get())) break;
        }
        return true;
    });
    if (err) return err->handle([&] { return log_reboot_failure(st, self, *err, url.get()); });
    if (outcome == Reboot::Refused) {
        // Logged outside the guarded block, like the handlers' lines: the
        // refusal is certain, so a failing logger must not turn it into an
        // unknown outcome that the caller would then wait out.
        Ref logger = logger_of(st, self);
        Ref flag = getattr(self, st.flag);
        call_method(logger.get(), st.error, st.msg_reboot_refused, flag.get(), status.get(), url.get());
    }
    return outcome;
}

Ref trigger_reboot(State& st, PyObject* self, Args<0>&) { return reboot_result(trigger_reboot_of(st, self)); }

// ---- wait_service_ready ----------------------------------------------------------------

constexpr auto kWaitServiceReady = sig("ComfyUIManager.wait_service_ready", "($self)",
                                       "Poll the statistics interface every poll_interval seconds until it\n"
                                       "answers 200 (True) or max_wait seconds have passed (False).");

// One poll: `ready` becomes true when the server answered 200. Returns
// false with the error set when the request failed.
bool poll_once(State& st, PyObject* self, bool& ready) {
    Ref resp = http_get(st, self, st.stats_api);
    if (!resp) return false;
    Ref status = getattr(resp.get(), st.status_code);
    if (py_compare(status.get(), st.ok_status, Py_EQ)) {
        Ref logger = logger_of(st, self);
        Ref flag = getattr(self, st.flag);
        call_method(logger.get(), st.debug, st.msg_poll_ready, flag.get());
        ready = true;
        return true;
    }
    Ref logger = logger_of(st, self);
    Ref flag = getattr(self, st.flag);
    Ref code = getattr(resp.get(), st.status_code);
    call_method(logger.get(), st.debug, st.msg_poll_status, flag.get(), code.get());
    return true;
}

// A failed poll goes to standard output: the server is not up yet.
void report_poll_failure(State& st, PyObject* self, CaughtError& err) {
    Ref connection_error = connection_error_class(st);
    if (err.matches(connection_error.get())) {
        Ref flag = formatted(st, getattr(self, st.flag).get());
        print_line(st, concat({flag.get(), st.line_conn_refused}).get());
    } else if (err.matches(PyExc_Exception)) {
        Ref flag = formatted(st, getattr(self, st.flag).get());
        Ref text = formatted(st, err.value());
        print_line(st, concat({flag.get(), st.line_request_error, text.get()}).get());
    } else {
        err.raise_again();
    }
}

// time.time() - start_time < self.max_wait, with a fresh clock reading.
bool before_deadline(State& st, PyObject* self, PyObject* start_time) {
    Ref now = clock_now(st);
    Ref elapsed = check(PyNumber_Subtract(now.get(), start_time));
    Ref max_wait = getattr(self, st.max_wait);
    return py_compare(elapsed.get(), max_wait.get(), Py_LT);
}

void pause(State& st, PyObject* self) {
    Ref sleep = getattr(global(st, st.time).get(), st.sleep);
    Ref interval = getattr(self, st.poll_interval);
    call(sleep.get(), interval.get());
}

bool wait_service_ready_of(State& st, PyObject* self) {
    Ref start_time = clock_now(st);
    {
        Ref logger = logger_of(st, self);
        Ref flag = getattr(self, st.flag), url = getattr(self, st.stats_api), max_wait = getattr(self, st.max_wait);
        call_method(logger.get(), st.debug, st.msg_poll_start, flag.get(), url.get(), max_wait.get());
    }
    while (before_deadline(st, self, start_time.get())) {
        bool ready = false;
        auto err = catch_error([&] { return poll_once(st, self, ready); });
        if (ready) return true;
        if (err) err->handle([&] { report_poll_failure(st, self, *err); });
        pause(st, self);
    }
    Ref logger = logger_of(st, self);
    Ref flag = getattr(self, st.flag), max_wait = getattr(self, st.max_wait);
    call_method(logger.get(), st.error, st.msg_poll_timeout, flag.get(), max_wait.get());
    return false;
}

Ref wait_service_ready(State& st, PyObject* self, Args<0>&) { return new_bool(wait_service_ready_of(st, self)); }

// ---- run_reboot_and_wait ---------------------------------------------------------------------

constexpr auto kRunRebootAndWait = sig("ComfyUIManager.run_reboot_and_wait", "($self)",
                                       "Restart the server and wait for it: trigger_reboot, then\n"
                                       "wait_service_ready, whose result is returned. When trigger_reboot\n"
                                       "returns False (the restart was refused) returns False at once.");

// self.<name>() called through the instance, so a subclass override runs;
// our own method is run directly.
Ref call_own(State& st, PyObject* self, PyObject* name, PyMethodDef* def, Ref (*own)(State&, PyObject*)) {
    Ref method = getattr(self, name);
    if (is_own_method(method.get(), def, self)) return own(st, self);
    return call(method.get());
}

Ref run_reboot_and_wait(State& st, PyObject* self, Args<0>&) {
    Ref rebooted = call_own(st, self, st.trigger_reboot, st.trigger_def,
                            [](State& s, PyObject* me) { return reboot_result(trigger_reboot_of(s, me)); });
    // A refused restart left the server running as it was: polling it would
    // report its old self as restarted.
    if (rebooted.get() == Py_False) return rebooted;
    Ref ready = call_own(st, self, st.wait_service_ready, st.wait_def,
                         [](State& s, PyObject* me) { return new_bool(wait_service_ready_of(s, me)); });
    if (truth(ready.get())) {
        Ref logger = logger_of(st, self);
        Ref flag = getattr(self, st.flag);
        call_method(logger.get(), st.debug, st.msg_flow_ready, flag.get());
    } else {
        Ref logger = logger_of(st, self);
        Ref flag = getattr(self, st.flag);
        call_method(logger.get(), st.error, st.msg_flow_timeout, flag.get());
    }
    return ready;
}

// ---- module ------------------------------------------------------------------------------------

void exec(PyObject* module, State& st) {
    st.globals = PyModule_GetDict(module);
    add_object(module, "requests", import("requests").get());
    add_object(module, "time", import("time").get());
    add_object(module, "logging", import("logging").get());

    for (auto [slot, text] : {
             std::pair{&st.requests, "requests"}, {&st.time, "time"}, {&st.logging, "logging"}, {&st.get, "get"},
             {&st.exceptions, "exceptions"}, {&st.ConnectionError, "ConnectionError"}, {&st.sleep, "sleep"},
             {&st.getLogger, "getLogger"}, {&st.base_url, "base_url"}, {&st.reboot_api, "reboot_api"},
             {&st.stats_api, "stats_api"}, {&st.timeout, "timeout"}, {&st.max_wait, "max_wait"},
             {&st.poll_interval, "poll_interval"}, {&st.flag, "flag"}, {&st.logger, "logger"},
             {&st.trigger_reboot, "trigger_reboot"}, {&st.wait_service_ready, "wait_service_ready"},
             {&st.debug, "debug"}, {&st.error, "error"}, {&st.status_code, "status_code"}, {&st.write, "write"},
             {&st.rstrip, "rstrip"}, {&st.slash, "/"}, {&st.empty, ""}, {&st.newline, "\n"},
             {&st.post, "post"}})
        *slot = st.name(text);

    for (auto [slot, text] : {
             std::pair{&st.default_base_url, kDefaultBaseUrl}, {&st.module_name, kModuleName},
             {&st.reboot_path, "/api/manager/reboot"}, {&st.newer_reboot_path, "/api/v2/manager/reboot"},
             {&st.stats_path, "/api/system_stats"},
             {&st.flag_head, "comfyui服务重启 ["}, {&st.flag_tail, "]"},
             {&st.remote_closed, "Remote end closed connection"},
             {&st.msg_reboot_called, "%s 调用重启接口 url=%s"},
             {&st.msg_reboot_dropped, "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"},
             {&st.msg_reboot_conn_error, "%s 连接异常：%s url=%s"},
             {&st.msg_reboot_error, "%s 发起重启请求异常: %s url=%s"},
             {&st.msg_reboot_refused, "%s 重启请求被拒绝，状态码 %s url=%s"},
             {&st.msg_poll_start, "%s 开始轮询 %s，最长等待 %ss"},
             {&st.msg_poll_ready, "%s 服务已恢复正常，状态码200"},
             {&st.msg_poll_status, "%s 接口返回异常状态码 %s，继续等待..."},
             {&st.msg_poll_timeout, "%s 超时 %ss，服务未恢复"},
             {&st.line_conn_refused, " 服务未启动/连接拒绝，等待中..."},
             {&st.line_request_error, " 请求异常: "},
             {&st.msg_flow_ready, "%s 重启完成，服务正常可用"},
             {&st.msg_flow_timeout, "%s 重启后超时未恢复"}})
        *slot = st.keep(new_text(text));
    st.ok_status = st.keep(new_int(200));
    st.first_error_status = st.keep(new_int(400));
    st.not_found_status = st.keep(new_int(404));
    st.method_not_allowed_status = st.keep(new_int(405));

    st.trigger_def = method_def<State, kTriggerReboot, trigger_reboot>();
    st.wait_def = method_def<State, kWaitServiceReady, wait_service_ready>();
    ClassBuilder(st, "ComfyUIManager",
                 "ComfyUI service management tool.\n\n"
                 "trigger_reboot calls the server's reboot interface to start a restart;\n"
                 "wait_service_ready polls its system-statistics interface until the service is back;\n"
                 "run_reboot_and_wait runs the whole flow, restart and wait, in one call.")
        .create()
        .method(method_def<State, kInit, init>())
        .method(st.trigger_def)
        .method(st.wait_def)
        .method(method_def<State, kRunRebootAndWait, run_reboot_and_wait>())
        .finish();
}

}  // namespace

PyMODINIT_FUNC PyInit_revivo() {
    return Module<State, exec>::init(kModuleName, "Restart a ComfyUI server and wait until it answers again.");
}
