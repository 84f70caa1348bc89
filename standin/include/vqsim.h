/*
 * vqsim: control interface of the stand-in SDK library (libvqsdk.so built
 * from standin/).  Tests use it to script what the SDK functions return and
 * to read back how they were called; standin/python/vqsim.py wraps it.
 *
 * Functions are named by their SDK name ("vqi_get_cash_pb").  Calls taking a
 * name return VQSIM_UNKNOWN_FUNCTION (-1) for a name the SDK does not have,
 * VQSIM_NOT_APPLICABLE (-2) when the function has no such feature (a status
 * for a void function, a response for a text function, ...) and
 * VQSIM_INVALID_ARGUMENT (-3) for bad lengths or modes; 0 on success.
 *
 * Everything passed in is copied; no caller pointer is kept.
 */
#ifndef VQSIM_H
#define VQSIM_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VQSDK_BUILDING)
#define VQSIM_API __attribute__((visibility("default")))
#else
#define VQSIM_API
#endif

#define VQSIM_OK 0
#define VQSIM_UNKNOWN_FUNCTION (-1)
#define VQSIM_NOT_APPLICABLE (-2)
#define VQSIM_INVALID_ARGUMENT (-3)

/* Modes of vqsim_break. */
#define VQSIM_BREAK_NONE 0            /* behave normally again */
#define VQSIM_BREAK_NULL_RESPONSE 1   /* success, *res = NULL, *res_len = length (> 0) */
#define VQSIM_BREAK_NEGATIVE_LENGTH 2 /* success, *res = response, *res_len = length (< 0) */
#define VQSIM_BREAK_NULL_TEXT 3       /* text function returns NULL; vqi_get_serv_addr: success, *addr = NULL */

/* Back to the initial state: no recorded calls, recording on, all statuses 0,
 * default responses and texts, no breaks, wall clock, no queued events, stop
 * flag cleared, no simulated session (unless $VQSDK_SIMULATE asks for one).
 * The registered event callback is kept. */
VQSIM_API void vqsim_reset(void);

/* Recording of SDK calls (on initially). */
VQSIM_API void vqsim_set_recording(int on);
VQSIM_API void vqsim_clear_calls(void);

/* Number of recorded calls of `fn` (NULL: of all functions), or -1. */
VQSIM_API long long vqsim_call_count(const char* fn);

/*
 * Recorded calls of `fn` (NULL: all, in call order) as JSON text:
 *   [{"fn": "<name>", "args": [<arg>, ...]}, ...]
 * with one <arg> per C parameter, in C order:
 *   ["n"]          NULL string or request buffer
 *   ["b", "<hex>"] string up to its NUL, or request buffer of req_len bytes
 *   ["i", <n>]     int, long long, void* value, callback address
 *   ["f", "<x>"]   double, shortest round-trip text ("inf", "nan" included)
 *   ["t", <bool>]  bool
 *   ["on"] / ["os"] char** out-parameter that held NULL / non-NULL on entry
 *   ["m"]          int* out-parameter
 * A NULL char** or int* itself is recorded as ["n"].
 * With last_only set only the last matching call is listed.
 * The text stays valid until the calling thread calls this again; NULL for
 * an unknown name.
 */
VQSIM_API const char* vqsim_calls_json(const char* fn, int last_only);

/* Status returned by an int function from now on.  Setting one for vqi_poll
 * replaces its 1/0 result (it still delivers an event). */
VQSIM_API int vqsim_set_status(const char* fn, int status);

/* Response handed out by a request/response function (copied; len >= 0). */
VQSIM_API int vqsim_set_response(const char* fn, const char* data, int len);

/* Text of a text function or the address of vqi_get_serv_addr; NULL
 * restores the default.  A text for vqi_strerror serves every errorno. */
VQSIM_API int vqsim_set_text(const char* fn, const char* text);

/* Fixed values for vqi_now (ms) and vqi_now_plus (s); or the wall clock. */
VQSIM_API void vqsim_set_clock(long long now, double now_plus);
VQSIM_API void vqsim_use_wall_clock(void);

/* Appends an event for vqi_run / vqi_poll.  text may be NULL; max(count, 0)
 * bytes of data are copied (none if data is NULL), count is delivered as
 * given. */
VQSIM_API void vqsim_queue_event(const char* text, const char* data, int count);

/* The same, but vqi_run / vqi_poll deliver it from a new native thread that
 * the library starts and joins while the caller waits inside it, as an SDK
 * with threads of its own may. */
VQSIM_API void vqsim_queue_thread_event(const char* text, const char* data, int count);

/* Calls the registered callback now with a copy of the event; 1 if there was
 * a callback to call, else 0. */
VQSIM_API int vqsim_fire_event(const char* text, const char* data, int count);

VQSIM_API int vqsim_pending_events(void);

/*
 * SDK threads.  vqsim_start_threads starts `threads` native threads that
 * call the registered callback on their own, all released at once, and
 * returns at once (the caller goes on) with the number of the first thread:
 * threads are numbered 0, 1, ... in the order started.  Each sends `count`
 * events (count < 0: until vqsim_join_threads(1) stops it) with text `text`
 * and the payload "thread=<number>;seq=<n>;ns=<t>", n = 0, 1, ... in
 * sending order, t the steady clock's nanoseconds when it was sent (Python's
 * time.monotonic_ns()), waiting `interval_us` microseconds after each; an event sent while
 * no callback is registered is skipped and not counted.
 * VQSIM_INVALID_ARGUMENT for a NULL text, threads <= 0 or interval_us < 0.
 *
 * vqsim_join_threads waits for the threads that end by themselves (with
 * stop set: stops the others first and waits for every thread) and returns
 * the number of events the joined threads sent.  vqsim_reset stops and joins
 * every thread.  vqsim_running_threads: threads started and not joined.
 */
VQSIM_API int vqsim_start_threads(const char* text, int threads, long long count, int interval_us);
VQSIM_API long long vqsim_join_threads(int stop);
VQSIM_API int vqsim_running_threads(void);

/* Every later call of `fn` waits `microseconds` inside the SDK before it
 * answers (0: no wait), as a slow server would; vqsim_reset clears it.
 * vqi_run and vqi_poll wait as a network SDK's run loop does: vqi_stop,
 * called from any thread, ends the wait. */
VQSIM_API int vqsim_set_delay(const char* fn, int microseconds);

/* Makes `fn` break the SDK's contract, see VQSIM_BREAK_*. */
VQSIM_API int vqsim_break(const char* fn, int mode, int length);

/* Address of the registered event callback (0 if none). */
VQSIM_API unsigned long long vqsim_callback_address(void);

/* While forwarding (VQSDK_FORWARD) the controls that script or simulate
 * change nothing; the first one called prints one warning.  1 when
 * `control` (a name for that warning) is ignored so, else 0. */
VQSIM_API int vqsim_ignored(const char* control);

/*
 * Simulation.
 *
 * Off by default.  vqsim_simulate(config) starts a fresh simulated session
 * (NULL ends it); so does a non-empty $VQSDK_SIMULATE other than "0" when the
 * library is first used and at every vqsim_reset (its value is the config, or
 * "1" for the defaults).  vqsim_reset otherwise ends the session.
 *
 * config: key=value fields separated by ';' (all optional):
 *   seed=1          generator seed; the same seed gives the same session
 *   steps=240       market steps in the session
 *   step=60         seconds of simulated time per market step
 *   start=2024-01-02 09:30:00   session start ("YYYY-MM-DD[ HH:MM:SS]")
 *   end=...         session end, if earlier than start + steps * step
 *   cash=1000000    initial cash
 *   commission=0    commission ratio of the traded amount
 *   slippage=0      slippage ratio applied to market orders
 *   volatility=0.002  standard deviation of the log return per step
 * vqi_set_backtest_config (whenever called) supplies start_time, end_time,
 * initial_cash, commission_ratio and slippage_ratio to sessions started
 * afterwards, and to a session that has not run or traded yet; config keys
 * given to vqsim_simulate win over it.  vqi_set_account_id's first id names
 * the account.
 *
 * While a session is on:
 * - vqi_run delivers the queued events; when the queue is empty it advances
 *   the simulated clock to the next market step or timer and queues what
 *   happens there; it returns at vqi_stop (the session then resumes at the
 *   next vqi_run) or after "on_backtest_finished" at the session's end.
 *   vqi_poll delivers one event the same way.  vqi_now / vqi_now_plus give
 *   the simulated clock (unless vqsim_set_clock fixed one).
 * - Each subscribed symbol follows a seeded random walk (prices in cents).
 *   vqi_subscribe(symbols "A,B", frequency, ...) gives "on_bar" events every
 *   frequency ("60s", "5m", "1h", "1d": a multiple of the step) or "on_tick"
 *   events every step ("tick"); other frequencies: VQSIM_SIM_UNSUPPORTED_FREQUENCY.
 * - Orders (vqi_place_order_pb) are accepted at once ("on_order_status",
 *   status 1) or rejected for cash or position (status 8, ord_rej_reason).
 *   At the next market step a market order fills at the new price (with
 *   slippage); a limit order fills once the price reaches its limit, at
 *   that market price.
 *   A fill queues "on_execution_report" then "on_order_status" (status 3).
 *   Fills are whole.  Buys reserve cash; sells need the position.
 * - vqi_cancel_orders_pb cancels open orders by order_id ("on_order_status",
 *   status 5); vqi_cancel_all_orders_pb cancels every open order.
 * - vqi_user_timer(period_ms, start_delay_ms) returns a timer id (1, 2, ...)
 *   or -VQSIM_SIM_INVALID_REQUEST; the timer queues "on_timer" events in
 *   simulated time until vqi_user_timer_stop(id).  vqi_set_timer(interval_ms)
 *   runs timer 0 (0 stops it).
 * - vqi_send_msg_to_bus to a topic added with vqi_add_bus_topic comes back as
 *   an "on_bus_message" event (the loop-back of a subscribed topic).
 * - vqi_strerror appends a text for the VQSIM_SIM_ statuses.
 * A function given a status, response, text or break through vqsim_ keeps
 * that script instead.
 *
 * Encoding of requests, responses and event payloads: records of key=value
 * fields separated by ';', records separated by '\n'; '%', ';', '=', CR and
 * LF inside keys or values are written %25, %3B, %3D, %0D, %0A.  Numbers are
 * decimal text.  Order side: 1 buy, 2 sell; order_type: 1 limit, 2 market;
 * status: 1 open, 3 filled, 5 cancelled, 8 rejected.
 *
 *   request                        fields
 *   vqi_place_order_pb             symbol, volume, side, order_type (default:
 *                                  limit with price, else market), price,
 *                                  tag (echoed), account_id; one record per
 *                                  order; response: the order records
 *   vqi_cancel_orders_pb           order_id, one record per order
 *   vqi_get_positions_pb           symbol (optional filter)
 *   vqi_current_price_pb           symbols=A,B; response: symbol, price, created_at
 *   vqi_get_cash_pb, vqi_get_orders_pb, vqi_get_unfinished_orders_pb,
 *   vqi_get_execution_reports_pb   anything (ignored)
 *
 *   record       fields
 *   order        order_id, account_id, symbol, side, order_type, volume, price,
 *                status, filled_volume, filled_vwap, filled_amount,
 *                filled_commission, created_at, updated_at, [tag],
 *                [ord_rej_reason]
 *   execution    exec_id, order_id, account_id, symbol, side, volume, price,
 *                amount, commission, created_at
 *   cash         account_id, nav, available, order_frozen, market_value, fee,
 *                pnl, initial_cash, updated_at
 *   position     account_id, symbol, side, volume, available, vwap, price,
 *                market_value, fpnl
 *   on_bar       symbol, frequency, bob, eob, open, high, low, close, volume,
 *                amount, pre_close, position
 *   on_tick      symbol, created_at, price, open, high, low, cum_volume,
 *                cum_amount, cum_position, last_volume, last_amount,
 *                trade_type, bid_p, bid_v, ask_p, ask_v
 *   on_timer     timer_id, time, fired
 *   on_bus_message  topic, msg, time
 *   on_backtest_finished  the cash record, orders, executions
 * Times are "YYYY-MM-DD HH:MM:SS" of the simulated clock.
 * Malformed requests return VQSIM_SIM_INVALID_REQUEST with an "error" field.
 */
#define VQSIM_SIM_INVALID_REQUEST 1010       /* request not decodable or a field missing */
#define VQSIM_SIM_UNKNOWN_ORDER 1011         /* cancel of an unknown order or one not open */
#define VQSIM_SIM_UNSUPPORTED_FREQUENCY 1012 /* subscription frequency */

/* Starts a fresh session (config as above, "" for the defaults) or, with
 * NULL, ends it.  VQSIM_OK, or VQSIM_INVALID_ARGUMENT for a bad config. */
VQSIM_API int vqsim_simulate(const char* config);

/* 1 while a session is on, else 0. */
VQSIM_API int vqsim_simulating(void);

/* The session as JSON, "null" when off:
 *   {"started": b, "finished": b, "time": "...", "steps": n, "account_id": "...",
 *    "events": {"<text>": n, ...}          events delivered to the callback
 *    "orders": {"placed": n, "open": n, "filled": n, "cancelled": n, "rejected": n},
 *    "executions": n,
 *    "cash": {"available": x, "order_frozen": x, "market_value": x, "nav": x, "fee": x},
 *    "positions": {"<symbol>": volume, ...}}
 * Valid until the calling thread calls this again. */
VQSIM_API const char* vqsim_simulation_report(void);

#ifdef __cplusplus
}
#endif

#endif /* VQSIM_H */
