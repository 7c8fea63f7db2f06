/* A C11 caller of the installed library: includes the umbrella header, links -lkova. */
#include <kova/kova.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

int main(void)
{
    kova_log_init(NULL, 6);
    jiffies_Init();
    if (kova_time_cycles2ns(1) == 0) {
        fprintf(stderr, "time base not initialised\n");
        return 1;
    }
    kova_pid_set_name(KOVA_MODULE_ID, "KOVA");
    if (strcmp(kova_pid_get_name(KOVA_MODULE_ID), "KOVA") != 0) return 2;
    if (kova_system_s("echo a; echo b", NULL) != KOVA_ERR_DANGEROUS_CMD) return 3;
    int status = kova_system("exit 4");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 4) return 4;
    void *p = kova_mallocsubstandard(KOVA_MODULE_ID, 64, 0, __func__, __LINE__);
    if (p == NULL) return 5;
    kova_freesub(p, __func__, __LINE__);
    printf("jiffies %llu\n", (unsigned long long)kova_get_jiffies());
    return 0;
}
