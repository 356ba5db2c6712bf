/* A qemu-user TCG plugin that counts the guest instructions a program
   executes and prints the total when it exits:
       qemu-aarch64 -plugin ./qemu_insn_count.so -d plugin PROGRAM ...
   prints "instructions N" on standard error. Debian's qemu-user ships no
   plugin header, so the few parts of its API used here are declared as
   QEMU 7.2 defines them. Built for the host: bench/instructions.sh does. */
#include <inttypes.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

typedef uint64_t qemu_plugin_id_t;
typedef struct qemu_info_t qemu_info_t;
struct qemu_plugin_tb;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op, void *ptr,
                                              uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);
void qemu_plugin_outs(const char *string);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

/* Every program run here has one thread, so one counter needs no lock. */
static uint64_t executed;

/* Each translated block adds its instruction count whenever it runs. */
static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb)
{
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed,
                                             qemu_plugin_tb_n_insns(tb));
}

static void on_exit(qemu_plugin_id_t id, void *userdata)
{
    char line[64];
    (void)id;
    (void)userdata;
    snprintf(line, sizeof line, "instructions %" PRIu64 "\n", executed);
    qemu_plugin_outs(line);
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info,
                                                               int argc, char **argv)
{
    (void)info;
    (void)argc;
    (void)argv;
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, on_exit, NULL);
    return 0;
}
