/*
** A stand-in ThreadX target for the GDB tests: the kernel's control blocks
** with the kernel's own type and field names, filled with lists of all
** eight object kinds, then a stop at fixture_stop() for the debugger.
**
** Every block, stack and saved frame lives in one structure in a section
** of its own at a fixed address (FIXTURE_BASE, set at link time), so the
** addresses that the tables show are the same whichever compiler built it.
** The running thread ("main") is running on a stack inside that structure
** too, entered by fixture_run_on_stack(), so its stack depth at the stop is
** fixed as well.
**
** Suspended threads carry a saved frame at tx_thread_stack_ptr in the
** layout of the test database (config/os_aware/threadx_fm.odb, cpumajor 77):
** a 4-byte kind word (0 solicited, 1 interrupt), 4 spare bytes, then 64-bit
** registers. fixture_saved[] keeps what each frame holds, for comparison.
**
** One unnamed semaphore lies above 4 GiB (a section of its own at a fixed
** address too), with the unnamed thread waiting on it, so that the tables
** show whole 64-bit addresses. The timers hang in a timer wheel laid out
** as the kernel's (_tx_timer_list, 32 slots).
**
** x86-64 only; built without PIE.
*/
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if !defined(__x86_64__)
#error "the GDB fixture is written for x86-64"
#endif

typedef void VOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef unsigned int UINT;
typedef unsigned int ULONG;    /* 32 bits, as in the kernel's 64-bit ports */
typedef uint64_t ULONG64;

#define TX_THREAD_ID 0x54485244UL
#define TX_TIMER_ID 0x4154494dUL
#define TX_SEMAPHORE_ID 0x53454d41UL
#define TX_QUEUE_ID 0x51554555UL
#define TX_EVENT_FLAGS_ID 0x4456444eUL
#define TX_BLOCK_POOL_ID 0x424c4f43UL
#define TX_BYTE_POOL_ID 0x42595445UL
#define TX_MUTEX_ID 0x4d555445UL
#define TX_CLEAR_ID 0xdeadbeefUL

/* Thread states. */
enum { TX_READY = 0, TX_COMPLETED = 1, TX_TERMINATED = 2, TX_SUSPENDED = 3, TX_SLEEP = 4,
       TX_QUEUE_SUSP = 5, TX_SEMAPHORE_SUSP = 6, TX_EVENT_FLAG = 7, TX_BLOCK_MEMORY = 8,
       TX_BYTE_MEMORY = 9, TX_MUTEX_SUSP = 13 };

typedef struct TX_TIMER_INTERNAL_STRUCT {
    ULONG tx_timer_internal_remaining_ticks;
    ULONG tx_timer_internal_re_initialize_ticks;
    VOID (*tx_timer_internal_timeout_function)(ULONG id);
    ULONG tx_timer_internal_timeout_param;
    struct TX_TIMER_INTERNAL_STRUCT *tx_timer_internal_active_next;
    struct TX_TIMER_INTERNAL_STRUCT *tx_timer_internal_active_previous;
    struct TX_TIMER_INTERNAL_STRUCT **tx_timer_internal_list_head;
} TX_TIMER_INTERNAL;

typedef struct TX_THREAD_STRUCT {
    ULONG tx_thread_id;
    ULONG tx_thread_run_count;
    VOID *tx_thread_stack_ptr;
    VOID *tx_thread_stack_start;
    VOID *tx_thread_stack_end;
    ULONG tx_thread_stack_size;
    ULONG tx_thread_time_slice;
    ULONG tx_thread_new_time_slice;
    struct TX_THREAD_STRUCT *tx_thread_ready_next;
    struct TX_THREAD_STRUCT *tx_thread_ready_previous;
    CHAR *tx_thread_name;
    UINT tx_thread_priority;
    UINT tx_thread_state;
    UINT tx_thread_delayed_suspend;
    UINT tx_thread_suspending;
    UINT tx_thread_preempt_threshold;
    VOID (*tx_thread_entry)(ULONG id);
    ULONG tx_thread_entry_parameter;
    TX_TIMER_INTERNAL tx_thread_timer;
    VOID *tx_thread_suspend_control_block;
    struct TX_THREAD_STRUCT *tx_thread_suspended_next;
    struct TX_THREAD_STRUCT *tx_thread_suspended_previous;
    struct TX_THREAD_STRUCT *tx_thread_created_next;
    struct TX_THREAD_STRUCT *tx_thread_created_previous;
} TX_THREAD;

/* Every other kind starts with its id and its name, as in the kernel: the
** debugger reads a waited-on object's name through the mutex layout. */
typedef struct TX_TIMER_STRUCT {
    ULONG tx_timer_id;
    CHAR *tx_timer_name;
    TX_TIMER_INTERNAL tx_timer_internal;
    struct TX_TIMER_STRUCT *tx_timer_created_next;
    struct TX_TIMER_STRUCT *tx_timer_created_previous;
} TX_TIMER;

typedef struct TX_SEMAPHORE_STRUCT {
    ULONG tx_semaphore_id;
    CHAR *tx_semaphore_name;
    ULONG tx_semaphore_count;
    struct TX_SEMAPHORE_STRUCT *tx_semaphore_created_next;
    struct TX_SEMAPHORE_STRUCT *tx_semaphore_created_previous;
    TX_THREAD *tx_semaphore_suspension_list;
    UINT tx_semaphore_suspended_count;
} TX_SEMAPHORE;

typedef struct TX_QUEUE_STRUCT {
    ULONG tx_queue_id;
    CHAR *tx_queue_name;
    UINT tx_queue_message_size;
    UINT tx_queue_capacity;
    UINT tx_queue_enqueued;
    UINT tx_queue_available_storage;
    ULONG *tx_queue_start;
    ULONG *tx_queue_end;
    ULONG *tx_queue_read;
    ULONG *tx_queue_write;
    TX_THREAD *tx_queue_suspension_list;
    UINT tx_queue_suspended_count;
    struct TX_QUEUE_STRUCT *tx_queue_created_next;
    struct TX_QUEUE_STRUCT *tx_queue_created_previous;
} TX_QUEUE;

typedef struct TX_EVENT_FLAGS_GROUP_STRUCT {
    ULONG tx_event_flags_group_id;
    CHAR *tx_event_flags_group_name;
    ULONG tx_event_flags_group_current;
    UINT tx_event_flags_group_reset_search;
    TX_THREAD *tx_event_flags_group_suspension_list;
    UINT tx_event_flags_group_suspended_count;
    struct TX_EVENT_FLAGS_GROUP_STRUCT *tx_event_flags_group_created_next;
    struct TX_EVENT_FLAGS_GROUP_STRUCT *tx_event_flags_group_created_previous;
} TX_EVENT_FLAGS_GROUP;

typedef struct TX_BLOCK_POOL_STRUCT {
    ULONG tx_block_pool_id;
    CHAR *tx_block_pool_name;
    UINT tx_block_pool_available;
    UINT tx_block_pool_total;
    UCHAR *tx_block_pool_available_list;
    UCHAR *tx_block_pool_start;
    ULONG tx_block_pool_size;
    UINT tx_block_pool_block_size;
    TX_THREAD *tx_block_pool_suspension_list;
    UINT tx_block_pool_suspended_count;
    struct TX_BLOCK_POOL_STRUCT *tx_block_pool_created_next;
    struct TX_BLOCK_POOL_STRUCT *tx_block_pool_created_previous;
} TX_BLOCK_POOL;

typedef struct TX_BYTE_POOL_STRUCT {
    ULONG tx_byte_pool_id;
    CHAR *tx_byte_pool_name;
    ULONG tx_byte_pool_available;
    UINT tx_byte_pool_fragments;
    UCHAR *tx_byte_pool_list;
    UCHAR *tx_byte_pool_search;
    UCHAR *tx_byte_pool_start;
    ULONG tx_byte_pool_size;
    TX_THREAD *tx_byte_pool_owner;
    TX_THREAD *tx_byte_pool_suspension_list;
    UINT tx_byte_pool_suspended_count;
    struct TX_BYTE_POOL_STRUCT *tx_byte_pool_created_next;
    struct TX_BYTE_POOL_STRUCT *tx_byte_pool_created_previous;
} TX_BYTE_POOL;

typedef struct TX_MUTEX_STRUCT {
    ULONG tx_mutex_id;
    CHAR *tx_mutex_name;
    UINT tx_mutex_ownership_count;
    TX_THREAD *tx_mutex_owner;
    UINT tx_mutex_inherit;
    UINT tx_mutex_original_priority;
    TX_THREAD *tx_mutex_suspension_list;
    UINT tx_mutex_suspended_count;
    struct TX_MUTEX_STRUCT *tx_mutex_created_next;
    struct TX_MUTEX_STRUCT *tx_mutex_created_previous;
} TX_MUTEX;

/* The frames of the test database. */
struct fixture_solicited_frame {
    UINT kind, spare;
    ULONG64 rbx, rbp, r12, r13, r14, r15, rip;
};
struct fixture_interrupt_frame {
    UINT kind, spare;
    ULONG64 rax, rbx, rcx, rdx, rsi, rdi, rbp, r8, r9, r10, r11, r12, r13, r14, r15, rip, eflags;
};

/* What a thread's registers are, in the order "threadx registers" shows. */
struct fixture_registers {
    ULONG64 rax, rbx, rcx, rdx, rsi, rdi, rbp, rsp, r8, r9, r10, r11, r12, r13, r14, r15, rip, eflags;
};

enum { T_MAIN, T_PRODUCER, T_CONSUMER, T_SLEEPER, T_UNNAMED, T_LOCK, T_FLAGS, T_BLOCK, T_BYTE,
       T_SENSOR, T_FINISHED, T_DONE, THREAD_COUNT };
enum { STACK_BYTES = 1024, STACK_USED_BYTES = 48 };

struct fixture_memory {
    TX_THREAD threads[THREAD_COUNT];
    TX_TIMER timers[3];
    TX_SEMAPHORE semaphores[3];
    TX_QUEUE queues[2];
    TX_EVENT_FLAGS_GROUP flags[2];
    TX_BLOCK_POOL block_pools[2];
    TX_BYTE_POOL byte_pools[1];
    TX_MUTEX mutexes[2];
    /* A list outside the timer wheel, like the one the kernel's timer
       thread moves expiring timers to (for tests that point a head here). */
    TX_TIMER_INTERNAL *expired_list[4];
    ULONG64 stacks[THREAD_COUNT][STACK_BYTES / 8];
};

struct fixture_memory fixture __attribute__((section(".fixture"), aligned(4096)));
/* Above 4 GiB; the code reaches it through a pointer (a 64-bit relocation
   in data: the code model's immediates hold 32 bits). */
TX_SEMAPHORE fixture_high_semaphore __attribute__((section(".fixture_high"), aligned(4096)));
TX_SEMAPHORE *fixture_high = &fixture_high_semaphore;
struct fixture_registers fixture_saved[THREAD_COUNT];

/* The kernel's globals. */
TX_THREAD *_tx_thread_current_ptr;
TX_THREAD *_tx_thread_created_ptr;
ULONG _tx_thread_created_count;
TX_TIMER *_tx_timer_created_ptr;
ULONG _tx_timer_created_count;
TX_SEMAPHORE *_tx_semaphore_created_ptr;
ULONG _tx_semaphore_created_count;
TX_QUEUE *_tx_queue_created_ptr;
ULONG _tx_queue_created_count;
TX_EVENT_FLAGS_GROUP *_tx_event_flags_created_ptr;
ULONG _tx_event_flags_created_count;
TX_BLOCK_POOL *_tx_block_pool_created_ptr;
ULONG _tx_block_pool_created_count;
TX_BYTE_POOL *_tx_byte_pool_created_ptr;
ULONG _tx_byte_pool_created_count;
TX_MUTEX *_tx_mutex_created_ptr;
ULONG _tx_mutex_created_count;
/* The timer wheel: one slot per tick, the current tick's slot, and the
   timer being expired now. */
#define TX_TIMER_ENTRIES 32
TX_TIMER_INTERNAL *_tx_timer_list[TX_TIMER_ENTRIES];
TX_TIMER_INTERNAL **_tx_timer_list_start = &_tx_timer_list[0];
TX_TIMER_INTERNAL **_tx_timer_list_end = &_tx_timer_list[TX_TIMER_ENTRIES];
TX_TIMER_INTERNAL **_tx_timer_current_ptr = &_tx_timer_list[3];
TX_TIMER_INTERNAL *_tx_timer_expired_timer_ptr;

void timer_tick_expiry(ULONG id) { (void)id; }
void watchdog_expiry(ULONG id) { (void)id; }

/* The debugger stops here (break *fixture_stop); it is entered on the main
** thread's stack with the stack pointer exactly 24 bytes below its top. */
void fixture_stop(void);
void fixture_run_on_stack(void *top);
__asm__(
    ".text\n"
    ".globl fixture_stop\n"
    ".type fixture_stop, @function\n"
    "fixture_stop:\n"
    "    nop\n"
    "    ret\n"
    ".globl fixture_run_on_stack\n"
    ".type fixture_run_on_stack, @function\n"
    "fixture_run_on_stack:\n"
    "    movq %rsp, %rax\n"
    "    movq %rdi, %rsp\n"
    "    pushq %rax\n"
    "    subq $8, %rsp\n"
    "    call fixture_stop\n"
    "    addq $8, %rsp\n"
    "    popq %rsp\n"
    "    ret\n");

static ULONG64 register_value(int thread, int reg)
{
    return 0x0123456789abcdefULL ^ ((ULONG64)(reg + 1) * 0x1111111111111111ULL) ^ ((ULONG64)thread << 56);
}

static char *stack_top(int t) { return (char *)&fixture.stacks[t][STACK_BYTES / 8]; }

static void make_thread(int t, const char *name, UINT state, ULONG runs, UINT priority, UINT threshold)
{
    TX_THREAD *thread = &fixture.threads[t];
    thread->tx_thread_id = TX_THREAD_ID;
    thread->tx_thread_name = (CHAR *)name;
    thread->tx_thread_state = state;
    thread->tx_thread_run_count = runs;
    thread->tx_thread_priority = priority;
    thread->tx_thread_preempt_threshold = threshold;
    thread->tx_thread_stack_start = fixture.stacks[t];
    thread->tx_thread_stack_end = stack_top(t) - 1;
    thread->tx_thread_stack_size = STACK_BYTES;
    thread->tx_thread_stack_ptr = stack_top(t) - STACK_USED_BYTES;
    thread->tx_thread_created_next = &fixture.threads[(t + 1) % THREAD_COUNT];
    thread->tx_thread_created_previous = &fixture.threads[(t + THREAD_COUNT - 1) % THREAD_COUNT];
}

/* A frame below the thread's used stack; records what it holds. */
static void save_frame(int t, int interrupted)
{
    TX_THREAD *thread = &fixture.threads[t];
    struct fixture_registers *r = &fixture_saved[t];
    size_t size = interrupted ? sizeof(struct fixture_interrupt_frame) : sizeof(struct fixture_solicited_frame);
    char *frame = stack_top(t) - STACK_USED_BYTES - size;
    memset(r, 0, sizeof *r);
    r->rbx = register_value(t, 1);
    r->rbp = register_value(t, 6);
    r->r12 = register_value(t, 12);
    r->r13 = register_value(t, 13);
    r->r14 = register_value(t, 14);
    r->r15 = register_value(t, 15);
    r->rip = 0x401000 + 0x10 * (ULONG64)t;
    r->rsp = (ULONG64)(uintptr_t)(frame + size);
    if (interrupted) {
        struct fixture_interrupt_frame *f = (struct fixture_interrupt_frame *)frame;
        r->rax = register_value(t, 0);
        r->rcx = register_value(t, 2);
        r->rdx = register_value(t, 3);
        r->rsi = register_value(t, 4);
        r->rdi = register_value(t, 5);
        r->r8 = register_value(t, 8);
        r->r9 = register_value(t, 9);
        r->r10 = register_value(t, 10);
        r->r11 = register_value(t, 11);
        r->eflags = 0x246;
        *f = (struct fixture_interrupt_frame){1, 0, r->rax, r->rbx, r->rcx, r->rdx, r->rsi, r->rdi, r->rbp,
                                              r->r8, r->r9, r->r10, r->r11, r->r12, r->r13, r->r14, r->r15,
                                              r->rip, r->eflags};
    } else {
        struct fixture_solicited_frame *f = (struct fixture_solicited_frame *)frame;
        *f = (struct fixture_solicited_frame){0, 0, r->rbx, r->rbp, r->r12, r->r13, r->r14, r->r15, r->rip};
    }
    thread->tx_thread_stack_ptr = frame;
}

/* Chains the threads into an object's circular suspension list. */
static void suspend_on(void *object, TX_THREAD **head, UINT *count, const int *waiters, int n)
{
    for (int i = 0; i < n; i++) {
        TX_THREAD *thread = &fixture.threads[waiters[i]];
        thread->tx_thread_suspend_control_block = object;
        thread->tx_thread_suspended_next = &fixture.threads[waiters[(i + 1) % n]];
        thread->tx_thread_suspended_previous = &fixture.threads[waiters[(i + n - 1) % n]];
    }
    *head = &fixture.threads[waiters[0]];
    *count = (UINT)n;
}

static void make_threads(void)
{
    make_thread(T_MAIN, "main", TX_READY, 120, 1, 1);
    make_thread(T_PRODUCER, "producer", TX_SEMAPHORE_SUSP, 42, 10, 8);
    make_thread(T_CONSUMER, "consumer", TX_QUEUE_SUSP, 37, 12, 12);
    make_thread(T_SLEEPER, "sleeper", TX_SLEEP, 5, 20, 20);
    make_thread(T_UNNAMED, NULL, TX_SEMAPHORE_SUSP, 3, 16, 16);
    make_thread(T_LOCK, "lock_waiter", TX_MUTEX_SUSP, 9, 6, 6);
    make_thread(T_FLAGS, "flag_waiter", TX_EVENT_FLAG, 11, 7, 7);
    make_thread(T_BLOCK, "block_waiter", TX_BLOCK_MEMORY, 2, 9, 9);
    make_thread(T_BYTE, "byte_waiter", TX_BYTE_MEMORY, 4, 9, 9);
    make_thread(T_SENSOR, "capteur_\xc3\xa9t\xc3\xa9", TX_SEMAPHORE_SUSP, 8, 14, 14);
    make_thread(T_FINISHED, "finished", TX_TERMINATED, 1, 30, 30);
    make_thread(T_DONE, "done", TX_COMPLETED, 1, 31, 31);
    for (int t = T_PRODUCER; t < THREAD_COUNT; t++)
        save_frame(t, t == T_PRODUCER || t == T_UNNAMED || t == T_FLAGS);
    _tx_thread_created_ptr = &fixture.threads[0];
    _tx_thread_created_count = THREAD_COUNT;
    _tx_thread_current_ptr = &fixture.threads[T_MAIN];
}

static void make_timers(void)
{
    static const char *names[] = {"tm_tick", "tm_oneshot", NULL};
    for (int i = 0; i < 3; i++) {
        TX_TIMER *timer = &fixture.timers[i];
        timer->tx_timer_id = TX_TIMER_ID;
        timer->tx_timer_name = (CHAR *)names[i];
        timer->tx_timer_created_next = &fixture.timers[(i + 1) % 3];
        timer->tx_timer_created_previous = &fixture.timers[(i + 2) % 3];
    }
    /* Active, periodic, 5 slots ahead of the current one (3): 5 ticks left;
       remaining_ticks keeps the 10 it was scheduled with. */
    fixture.timers[0].tx_timer_internal = (TX_TIMER_INTERNAL){10, 10, timer_tick_expiry, 0, NULL, NULL,
                                                              &_tx_timer_list[7]};
    /* Deactivated: the kernel reports the 7 ticks it had left. */
    fixture.timers[1].tx_timer_internal = (TX_TIMER_INTERNAL){7, 0, NULL, 0, NULL, NULL, NULL};
    /* Beyond the wheel: the slot before the current one (32 slots round)
       plus the 218 ticks above the wheel's length. */
    fixture.timers[2].tx_timer_internal = (TX_TIMER_INTERNAL){250, 250, watchdog_expiry, 0, NULL, NULL,
                                                              &_tx_timer_list[2]};
    _tx_timer_created_ptr = &fixture.timers[0];
    _tx_timer_created_count = 3;
}

static void make_semaphores(void)
{
    static const int ready_waiters[] = {T_PRODUCER, T_SENSOR};
    static const int high_waiters[] = {T_UNNAMED};
    /* Created order: sem_ready, an unnamed one, the unnamed one above 4 GiB,
       and a deleted one still on the list (the walk ends before it). */
    TX_SEMAPHORE *list[] = {&fixture.semaphores[0], &fixture.semaphores[1], fixture_high, &fixture.semaphores[2]};
    static const char *names[] = {"sem_ready", NULL, NULL, "sem_stale"};
    static const ULONG counts[] = {0, 3, 0, 1};
    for (int i = 0; i < 4; i++) {
        TX_SEMAPHORE *s = list[i];
        s->tx_semaphore_id = TX_SEMAPHORE_ID;
        s->tx_semaphore_name = (CHAR *)names[i];
        s->tx_semaphore_count = counts[i];
        s->tx_semaphore_created_next = list[(i + 1) % 4];
        s->tx_semaphore_created_previous = list[(i + 3) % 4];
    }
    suspend_on(list[0], &list[0]->tx_semaphore_suspension_list, &list[0]->tx_semaphore_suspended_count,
               ready_waiters, 2);
    suspend_on(list[2], &list[2]->tx_semaphore_suspension_list, &list[2]->tx_semaphore_suspended_count,
               high_waiters, 1);
    list[3]->tx_semaphore_id = TX_CLEAR_ID;
    _tx_semaphore_created_ptr = list[0];
    _tx_semaphore_created_count = 4;
}

static void make_queues(void)
{
    static const int waiters[] = {T_CONSUMER};
    TX_QUEUE *q = fixture.queues;
    q[0] = (TX_QUEUE){TX_QUEUE_ID, "q_msgs", 1, 16, 0, 16, NULL, NULL, NULL, NULL, NULL, 0, &q[1], &q[1]};
    q[1] = (TX_QUEUE){TX_QUEUE_ID, "q_big", 4, 8, 3, 5, NULL, NULL, NULL, NULL, NULL, 0, &q[0], &q[0]};
    suspend_on(&q[0], &q[0].tx_queue_suspension_list, &q[0].tx_queue_suspended_count, waiters, 1);
    _tx_queue_created_ptr = &q[0];
    _tx_queue_created_count = 2;
}

static void make_event_flags(void)
{
    static const int waiters[] = {T_FLAGS};
    TX_EVENT_FLAGS_GROUP *g = fixture.flags;
    g[0] = (TX_EVENT_FLAGS_GROUP){TX_EVENT_FLAGS_ID, "ef_events", 0x11, 0, NULL, 0, &g[1], &g[1]};
    g[1] = (TX_EVENT_FLAGS_GROUP){TX_EVENT_FLAGS_ID, NULL, 0, 0, NULL, 0, &g[0], &g[0]};
    suspend_on(&g[0], &g[0].tx_event_flags_group_suspension_list, &g[0].tx_event_flags_group_suspended_count,
               waiters, 1);
    _tx_event_flags_created_ptr = &g[0];
    _tx_event_flags_created_count = 2;
}

static void make_pools(void)
{
    static const int block_waiters[] = {T_BLOCK};
    static const int byte_waiters[] = {T_BYTE};
    TX_BLOCK_POOL *b = fixture.block_pools;
    b[0] = (TX_BLOCK_POOL){TX_BLOCK_POOL_ID, NULL, 0, 10, NULL, NULL, 640, 64, NULL, 0, &b[1], &b[1]};
    b[1] = (TX_BLOCK_POOL){TX_BLOCK_POOL_ID, "bp_frames", 3, 8, NULL, NULL, 1024, 128, NULL, 0, &b[0], &b[0]};
    suspend_on(&b[0], &b[0].tx_block_pool_suspension_list, &b[0].tx_block_pool_suspended_count, block_waiters, 1);
    _tx_block_pool_created_ptr = &b[0];
    _tx_block_pool_created_count = 2;

    TX_BYTE_POOL *y = fixture.byte_pools;
    y[0] = (TX_BYTE_POOL){TX_BYTE_POOL_ID, "bp_heap", 1000, 4, NULL, NULL, NULL, 4096, NULL, NULL, 0, &y[0], &y[0]};
    suspend_on(&y[0], &y[0].tx_byte_pool_suspension_list, &y[0].tx_byte_pool_suspended_count, byte_waiters, 1);
    _tx_byte_pool_created_ptr = &y[0];
    _tx_byte_pool_created_count = 1;
}

static void make_mutexes(void)
{
    static const int waiters[] = {T_LOCK};
    TX_MUTEX *m = fixture.mutexes;
    m[0] = (TX_MUTEX){TX_MUTEX_ID, "m_bus", 1, &fixture.threads[T_MAIN], 1, 4, NULL, 0, &m[1], &m[1]};
    m[1] = (TX_MUTEX){TX_MUTEX_ID, "m_log", 0, NULL, 0, 0, NULL, 0, &m[0], &m[0]};
    suspend_on(&m[0], &m[0].tx_mutex_suspension_list, &m[0].tx_mutex_suspended_count, waiters, 1);
    _tx_mutex_created_ptr = &m[0];
    _tx_mutex_created_count = 2;
}

int main(void)
{
    make_threads();
    make_timers();
    make_semaphores();
    make_queues();
    make_event_flags();
    make_pools();
    make_mutexes();
    fixture_run_on_stack(stack_top(T_MAIN));
    return 0;
}
