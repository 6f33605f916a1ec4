// Hierarchical finite state machines for velko servers: events, states, superstates with flows,
// the root machine with its event queues, the FSM location, its properties and the server hooks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <ctime>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fsm_transitions.h"
#include "velko.h"

// State types and activity.
enum { STATE = 0, SUPER_STATE = 1, ROOT_STATE = 2 };
enum { PASSIVE = 0, ACTIVE = 1 };
// Equipment codes of the two FSM location kinds.
enum { CodeFsmRootState = 100, CodeFsmSuperState = 101 };

class FSMstate;
class FSMsuperstate;
class FSMrootstate;
class EqFSMlocation;
class FSMobserver;

// An event: its name, the states it is addressed to, and the next state a fired transition names.
class FSMevent {
  public:
    FSMevent();
    ~FSMevent();

    const char* get_name();
    const char* get_state();
    const char* get_next();
    void set_name(const char* ev);
    void set_state(const char* pt);
    void set_next(const char* pt);
    // Sets name and target; next is left as it was.
    void set_event(const char* nm, const char* st);

  private:
    // Dispatch compares and copies the stored names directly, without re-measuring them, and the
    // root's queues move them in and out of their slots.
    friend class FSMstate;
    friend class FSMsuperstate;
    friend class FSMrootstate;

    std::string event;
    std::string state;
    std::string next;
    // The names of the transition that fired last on this event, for the trace: its event name
    // (null for a "*" transition, whose event is this one's) and its next state. They live as
    // long as the transition.
    const char* fired_name = nullptr;
    const char* fired_next = nullptr;
};

// The basic state: actions, guarded transitions, event handlers, error text and data channels.
class FSMstate {
  public:
    typedef int (*action_fn)(FSMstate*);
    typedef void (*transition_fn)(FSMstate*);

    // One transition: triggering event, next state, guard, action and optional signal event.
    class branch {
      public:
        branch();
        ~branch();
        char* get_name();
        void define_action(const char* en, const char* ns, int (*cond_eval)(FSMstate*), void (*trans_action)(FSMstate*),
                           const char* sg_name, const char* sg_state);
        int check(FSMevent* ep, FSMstate* sp);

      private:
        std::string event_name;
        std::string next_state;
        int (*condition)(FSMstate*);
        void (*taction)(FSMstate*);
        int flag;
        FSMevent event;

        friend class FSMobserver;
    };

    // A named event handler.
    class event_handler {
      public:
        std::string name;
        int (*proc)(FSMstate*);
    };

    // A named value, optionally mirroring the property at eq_name.
    class local_data {
      public:
        std::string name;
        std::string eq_name;
        velko::EqData eq_data;
        pthread_mutex_t mux;
    };

    explicit FSMstate(int st_type);
    FSMstate(const char* st_name, const char* st_descr, int st_type);
    virtual ~FSMstate();
    FSMstate(const FSMstate&) = delete;
    FSMstate& operator=(const FSMstate&) = delete;

    // Accessors (no lock).
    int is_active();
    int get_type();
    const char* get_name();
    const char* get_descr();
    const char* get_event_name();
    const char* get_error();
    FSMstate* get_parent();
    FSMstate* get_root();
    void* get_private();
    void* set_private(int size);
    void set_name(const char* namep);
    void set_descr(const char* descrp);
    void set_event_name(const char* namep);
    void set_error(const char* error_txt);
    void set_parent(FSMstate* prptr);
    // Copies the error text into buf (cut to size - 1 characters and terminated; nothing when buf
    // is null or size 0) and returns its whole length. Unlike get_error it is safe while other
    // threads record errors on the state.
    size_t copy_error(char* buf, size_t size);

    // Building.
    void add_action(const char* ev_name, int (*hdl)(FSMstate*));
    void add_transition(const char* en, int (*ceval)(FSMstate*), void (*tact)(FSMstate*), const char* sgn,
                        const char* sgst, const char* ns);
    void add_data(const char* namep, velko::EqData* ptr, const char* eq_name);
    void set_address(const char* namep, const char* eq_name);

    // Virtual interface, in slot order.
    virtual void lock_state();
    virtual void unlock_state();
    virtual void set_root(FSMstate* rtptr);
    virtual void server_error(FSMstate* sp, int err, const char* err_desc);
    virtual FSMstate* resolve_link(const char* nm);
    virtual int link_state();
    virtual void init_state();
    virtual void enter_state();
    virtual void leave_state();
    virtual int process_event(FSMevent* ep);
    virtual void process_irq1(FSMevent* ep);
    virtual void process_irq2(FSMevent* ep);
    virtual void post_event(FSMevent* ep);
    virtual void post_irq1(FSMevent* ep);
    virtual void post_irq2(FSMevent* ep);
    virtual int data_open(const char* namep, int flag);
    virtual int data_lock(int handle, int flag);
    virtual int data_unlock(int handle, int flag);
    virtual int data_pointer(int handle, void** pp, int flag);
    virtual int data_get(int handle, int* di, int flag);
    virtual int data_get(int handle, float* df, int flag);
    virtual int data_get(int handle, char** ds, int flag);
    virtual int data_get(int handle, IIII* di, int flag);
    virtual int data_get(int handle, IFFF* df, int flag);
    virtual int data_set(int handle, int di, int flag);
    virtual int data_set(int handle, float df, int flag);
    virtual int data_set(int handle, char* ds, int flag);
    virtual int data_set(int handle, IIII* di, int flag);
    virtual int data_set(int handle, IFFF* df, int flag);
    virtual int data_set(int handle, TDS* dt, int flag);

    // General forms: the whole value, remote write for an addressed channel.
    int data_get(int handle, velko::EqData& dt);
    int data_set(int handle, velko::EqData& dt);

  protected:
    int data_open_loc(const char* nm);
    int data_geti(int handle, int* di);
    int data_getf(int handle, float* df);
    int data_gets(int handle, char** ds);
    int data_getii(int handle, IIII* di);
    int data_getif(int handle, IFFF* df);
    int data_seti(int handle, int di);
    int data_setf(int handle, float df);
    int data_sets(int handle, char* ds);
    int data_setii(int handle, IIII* di);
    int data_setif(int handle, IFFF* df);
    int data_settd(int handle, TDS* dt);

  private:
    // Flows compare their members' names and their superstate's with a transition's target.
    friend class FSMsuperstate;

    void clear_error();
    int data_find(int handle, local_data** ldp);
    void poll_data();
    // True when the target specifier of ep addresses this state.
    bool accepts(const std::string& target);

    pthread_mutex_t mux;
    int type;
    int status;
    std::string name;
    std::string description;
    std::string error;
    std::string event_name;
    FSMstate* root;
    FSMstate* parent;
    void* private_data;
    velko::EqAdr eq_addr;
    action_fn reset;
    action_fn poll;
    action_fn enter;
    action_fn during;
    action_fn leave;
    action_fn usr_irq1;
    action_fn usr_irq2;
    std::vector<branch*> transition;
    std::vector<event_handler*> handler;

  public:
    std::vector<local_data*> data;

  private:
    // Guards error alone: errors are recorded from any thread (actions, refreshes, restores) and
    // read by property readers that hold other locks, so it is taken last and nothing is called under it.
    pthread_mutex_t err_mux;
    // 1 while error is not empty; written under err_mux, read atomically so that a refresh takes
    // err_mux only when there is an error to clear.
    int has_error;

    friend class FSMobserver;
};

// A composite state: parallel flows of member states, each with one active state.
class FSMsuperstate : public FSMstate {
  public:
    // One flow (parallel region).
    class frame {
      public:
        frame(FSMstate* pp, int flow_id);
        ~frame();
        frame(const frame&) = delete;
        frame& operator=(const frame&) = delete;
        void add_state(FSMstate* st);
        int get_id();
        int get_st_count();
        int get_attribute();
        void set_attribute(int flag);
        void set_active(const char* name);
        const char* get_st_name(int index, FSMstate** ptr);
        const char* get_active(const char** descrp, int flag);
        const char* get_error();
        void set_root(FSMstate* rp);
        int link_state();
        // Why link_state() failed for this flow, as "flow N<where> has no state ..." (where names
        // its location), searching the superstates among its members too; "" when it did not.
        std::string link_fault(const std::string& where);
        void init_state();
        void enter_state();
        void leave_state();
        int process_event(FSMevent* event);
        void process_irq1(FSMevent* event);
        void process_irq2(FSMevent* event);

      private:
        // The active state while the flow takes events and interrupts (it has members and has not
        // finished), else null; read atomically, without the flow's lock.
        FSMstate* dispatch_target();

        pthread_mutex_t mux;
        int id;
        int run;
        int history;
        FSMstate* parent;
        FSMstate* default_state;
        FSMstate* active_state;
        std::string state_name;
        std::vector<FSMstate*> state;

        // Records a fired transition of `from` in the machine's trace; entered is the state the
        // flow entered, the owner when it finished, or null.
        void trace_transition(FSMstate* from, FSMevent* event, FSMstate* entered);
        // Looked up at the first transition, once, also when the machine has none (a root that is
        // not a FSMrootstate); used by the event thread only.
        FSMtrace* trace_log = nullptr;
        bool trace_looked_up = false;

        friend class FSMobserver;
    };

    // A state of another location, placed into a flow when the machine is linked.
    class ref_entry {
      public:
        std::string name;
        int flow;
        int mark;
    };

    FSMsuperstate(EqFSMlocation* locptr, const char* np, const char* descr, int stype);
    ~FSMsuperstate() override;

    void add_state(int flow_i, FSMstate* st);
    void add_reference(int flow_i, const char* np);
    void flow_attributes(int flow_i, const char* nm, int flag);

    int get_flow_count();
    int get_flag(int flow_i);
    const char* get_st_name(int flow_i, int index, FSMstate** ptr);
    const char* get_ast_name(int flow_i, const char** descrp, int flag);
    const char* get_ast_error(int flow_i);
    EqFSMlocation* get_location();
    // After link_state() failed: the first reason, naming the flow, its location and the state it
    // could not find (a reference, a configured default state, or a flow without states); "" when
    // the superstate is linked.
    std::string link_fault();

    void lock_state() override;
    void unlock_state() override;
    void set_root(FSMstate* rp) override;
    void server_error(FSMstate* sp, int err, const char* err_desc) override;
    int link_state() override;
    void init_state() override;
    void enter_state() override;
    void leave_state() override;
    int process_event(FSMevent* ev) override;
    void process_irq1(FSMevent* ev) override;
    void process_irq2(FSMevent* ev) override;
    void post_event(FSMevent* ev) override;
    void post_irq1(FSMevent* ev) override;
    void post_irq2(FSMevent* ev) override;
    int data_open(const char* namep, int flag) override;
    int data_lock(int handle, int flag) override;
    int data_unlock(int handle, int flag) override;
    int data_pointer(int handle, void** pp, int flag) override;
    int data_get(int handle, int* di, int flag) override;
    int data_get(int handle, float* df, int flag) override;
    int data_get(int handle, char** ds, int flag) override;
    int data_get(int handle, IIII* di, int flag) override;
    int data_get(int handle, IFFF* df, int flag) override;
    int data_set(int handle, int di, int flag) override;
    int data_set(int handle, float df, int flag) override;
    int data_set(int handle, char* ds, int flag) override;
    int data_set(int handle, IIII* di, int flag) override;
    int data_set(int handle, IFFF* df, int flag) override;
    int data_set(int handle, TDS* dt, int flag) override;
    using FSMstate::data_get;
    using FSMstate::data_set;

    void* get_address(const char* np);

  protected:
    int data_open_net(const char* np, int flag);
    int data_find(int handle, int flag, EqFSMlocation** locp);

    // The machine's trace when this is its root (set by FSMrootstate), else null.
    FSMtrace* root_trace = nullptr;

  private:
    frame* find_flow(int flow_i);
    frame* find_or_add_flow(int flow_i);

    pthread_mutex_t mux;
    EqFSMlocation* location;
    std::vector<frame*> flow;
    std::vector<ref_entry*> reference_table;

    friend class FSMobserver;
};

// The top of a machine: a superstate with the three event queues, the link table and the archive.
class FSMrootstate : public FSMsuperstate {
  public:
    FSMrootstate(EqFSMlocation* locptr, const char* nm, const char* descr);
    ~FSMrootstate() override;

    void register_link(FSMstate* sp);
    FSMstate* resolve_link(const char* nm) override;
    void init_state() override;
    void init_archiver();
    int process_event(FSMevent* ep) override;
    void process_irq1(FSMevent* ep) override;
    void process_irq2(FSMevent* ep) override;
    void post_event(FSMevent* ep) override;
    void post_irq1(FSMevent* ep) override;
    void post_irq2(FSMevent* ep) override;
    // How many events each of the three queues may hold; an event posted to a full queue is
    // dropped and reported at the end of the queue's next pass. New roots take the server's
    // event_queue_limit setting (1 000 000 without a server).
    void set_queue_limit(size_t n);
    size_t get_queue_limit();
    // Slots reserved by queue 0 (events), 1 (interrupt line 1) or 2 (line 2), in both its rings.
    // A queue whose ring grew beyond 1024 slots gives them back at the end of a pass in which it
    // stayed below a quarter of that ring.
    size_t queue_slots(int which);

  private:
    class link_entry {
      public:
        std::string name;
        FSMstate* address;
    };

    // Events waiting for their engine thread. A pass starts with signal(); the consumer drains
    // every queued event, then gets one synthetic event (dequeue returns 0) and sleeps again.
    // Events are posted into a ring of reused slots, at most `limit` of them waiting; an event
    // posted to a full queue is dropped and counted. The consumer (one thread per queue) takes the
    // whole ring under one lock, leaving its own drained ring in its place, and hands out the
    // events of the taken ring without locking.
    class queue {
      public:
        queue();
        ~queue();
        queue(const queue&) = delete;
        queue& operator=(const queue&) = delete;
        void enqueue(FSMevent& er);
        int dequeue(FSMevent& er);
        void signal();
        void set_limit(size_t n);
        size_t get_limit();
        // Slots reserved for waiting events (taken or free) in both rings.
        size_t slot_count();
        // Events dropped since the pass before the last one ended, counted when the last pass
        // ended. For the consumer only, after dequeue returned 0.
        size_t dropped_in_pass() const { return reported; }

      private:
        struct pending {
            std::string name;
            std::string state;
        };
        void grow();
        // Copies the oldest event of the taken ring into er. For the consumer, with taken_left > 0.
        void hand_out(FSMevent& er);

        pthread_mutex_t mux;
        pthread_cond_t cond;
        int flag;
        std::vector<pending> slot;  // the posting ring; its size is 0 or a power of two
        size_t head;                // the oldest waiting event's slot
        size_t count;               // events waiting in the posting ring
        size_t highest;             // most events waiting at once since the last pass ended
        size_t limit;
        size_t dropped;   // events dropped since the last pass ended
        size_t reported;  // what `dropped` held when the last pass ended
        // The ring the consumer took, of size 0 or a power of two: swapped and resized under mux,
        // its slots read by the consumer alone.
        std::vector<pending> taken;
        size_t taken_head;  // the consumer's next slot in taken
        // Events of taken not handed out yet: written by the consumer, read by posters under mux,
        // as they still count against the limit.
        std::atomic<size_t> taken_left;
    };

    // Reports events that a full queue dropped during the pass that just ended.
    void report_dropped(queue& q, const char* which);

    queue event_fifo;
    queue irq1_fifo;
    queue irq2_fifo;
    std::vector<link_entry*> link_table;

  public:
    int update_rate;
    ArchiveFile* atdsp;
    FSMtrace trace;  // the machine's recent transitions

  private:
    friend class FSMobserver;
};

// Text-record property base: a USTR value whose text lives in `comment`.
class D_fsmstr : public D_fct {
  public:
    D_fsmstr(const char* name, EqFct* ep);
    ~D_fsmstr() override;
    void get(EqAdr* adr, EqData* in, EqData* res, EqFct* loc) override;
    void set(EqAdr* adr, EqData* ed, EqData* res, EqFct* loc) override;
    void get_multi(EqAdr* adr, EqData* in, EqData* res, int* index, const char* selector, time_t* tm) override;
    void conf(Config* c) override;
    void read() override;
    void write(std::ostream& fl) override;
    int data_type() const override;
    using D_fct::data_type;
    virtual void set_value(USTR* usp);

    USTR* value();
    void set_value(int i);
    void set_f1(float f);
    void set_f2(float f);
    void set_value(time_t t);
    void set_value(const char* comm);

  protected:
    USTR value_;
    char comment[81];
};

// FSM and DESCR: configured texts; reading them sets the machine part's description.
class D_rname : public D_string {
  public:
    D_rname(const char* name, EqFct* ep);
    ~D_rname() override;
    void set(EqAdr* adr, EqData* in, EqData* res, EqFct* loc) override;
    void read_from_conf(const std::string& str) override;
    void set_state(FSMsuperstate* sp);

  private:
    FSMsuperstate* state;
};

// EVENT: a written text is parsed into event name and target and posted to the machine.
class D_event : public D_fsmstr {
  public:
    D_event(const char* name, EqFct* ep);
    ~D_event() override;
    void set(EqAdr* adr, EqData* data, EqData* res, EqFct* loc) override;
    void set_state(FSMsuperstate* sp);
    void set_event(USTR* uname);

  private:
    FSMsuperstate* state;
    FSMevent evn;
};

// FAULT: the machine part's current error text.
class D_rstate : public D_fsmstr {
  public:
    D_rstate(const char* name, EqFct* ep);
    ~D_rstate() override;
    void get(EqAdr* adr, EqData* data, EqData* res, EqFct* loc) override;
    void set(EqAdr* adr, EqData* data, EqData* res, EqFct* loc) override;
    void set_state(FSMsuperstate* sp);

  private:
    FSMsuperstate* state;
};

// FLOW_<n>: a flow's shown state with its error or description.
class D_flow : public D_fsmstr {
  public:
    D_flow(const char* name, EqFct* ep);
    ~D_flow() override;
    void get(EqAdr* adr, EqData* data, EqData* res, EqFct* loc) override;
    void set(EqAdr* adr, EqData* data, EqData* res, EqFct* loc) override;
    void write(std::ostream& fl) override;
    void set_state(FSMsuperstate* sp);
    int get_id();
    USTR* get_val(int flag);

  private:
    // Copies the error text of the flow's active state into buf (cut to size - 1); returns its
    // full length.
    size_t copy_active_error(char* buf, size_t size);

    FSMsuperstate* state;
    int flow_id;
};

// The server location hosting a machine's root (code 100) or a superstate (code 101).
class EqFSMlocation : public EqFct {
  public:
    explicit EqFSMlocation(int type);
    ~EqFSMlocation() override;

    void bind();
    int fct_code() override;
    void update() override;
    void online() override;
    void init() override;
    void complete() override;
    void interrupt1();
    void interrupt2();
    // Called by the registry, holding mux, once it has started the three engine threads.
    void mark_engines_started();
    // For tests, so that their programs can end normally: makes the three engine threads finish
    // after the event they are processing (each is woken by one more pass of its queue) and joins
    // them. Events still queued stay queued. Does nothing when the threads do not run. The
    // destructor calls it, so a location never goes while its threads run.
    void stop_engines();
    // stop_engines() on every location whose engine threads run.
    static void stop_all_engines();
    // Whether stop_engines() asked the engine threads to finish.
    bool engines_stopping() const { return engines_stop.load(std::memory_order_acquire); }

    pthread_mutex_t mux;
    pthread_cond_t cond;
    int fsm_ready;
    int fsm_waiting;
    pthread_t update_id;
    pthread_t irq1_id;
    pthread_t irq2_id;
    FSMsuperstate* state_ptr;
    D_rname fsm;
    D_rname description;
    D_event event;
    D_rstate status;
    std::vector<D_flow*> flows;
    pthread_mutex_t* prop_mux;
    pthread_mutex_t prop_amux;
    std::vector<D_fct*> velko_data;
    std::vector<D_fct*> velko_address;

    // Number of mutexes in prop_mux: properties appended after bind() have none.
    size_t prop_mux_size() const { return prop_mux_count; }

    // Why the machine part could not be linked or attached at start-up ("" when it was); FAULT
    // shows it before any error of the running machine. Guarded by mux.
    void set_link_fault(const std::string& text);
    std::string link_fault();

  private:
    size_t prop_mux_count;  // how many mutexes bind() created
    bool engines_started;   // guarded by mux
    std::atomic<bool> engines_stop;
    std::string link_fault_;
    // Starts one pass of queue 0 (events), 1 (interrupt line 1) or 2 (line 2) once the machine is ready.
    void start_pass(int queue);
};

extern "C" {
void* event_engine(void* ptr);
void* irq1_engine(void* ptr);
void* irq2_engine(void* ptr);
}

// An application's factory record: one per kind of machine.
struct node_info {
    node_info* link;
    char name[25];
    void (*create)(EqFSMlocation*);
};

// The registry of root machines of this process.
class FSMlist {
  public:
    class entry {
      public:
        std::string fsm;
        EqFSMlocation* loc;
        FSMstate* base;
    };

    FSMlist();
    ~FSMlist();
    void init_list();
    void store_node(EqFSMlocation* elp);
    int find_node(EqFSMlocation* elp);
    void link_nodes();
    int signal_node(char* fsm, FSMevent* ep);

  private:
    std::vector<entry*> list;
    // Indexes of list, so that registering and finding machines take constant time: the root
    // state names registered, and the first entry of each machine name.
    std::unordered_set<std::string> state_names;
    std::unordered_map<std::string, entry*> by_fsm;
};

// Process-wide objects.
extern char* object_name;
extern EqFct* eq_fct_;
extern FSMlist global_list;
extern int velko_init;
extern velko::EqCall* velko_call;
extern pthread_mutex_t velko_mux;
extern pthread_mutex_t arch_mux;
// The application's factory chain (defined by the application; null for none).
extern node_info* init_list;

// Posts a copy of ep to the machine named sp: 0 when posted, 1 otherwise.
int send_event(char* sp, FSMevent* ep);
