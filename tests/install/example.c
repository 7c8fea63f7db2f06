/* A C11 caller of the installed library: includes the umbrella header, links -lkova. */
#define _POSIX_C_SOURCE 200809L
#include <kova/kova.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
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
    if (kova_crc32c("123456789", 9) != 0xE3069283u) return 6;
    /* Mini-XML comes with the library: its header through kova.h, the library through libkova
     * (a program calling Mini-XML itself, MXML_OPAQUE_CALLBACK included, links it too). */
    char xml_path[] = "/tmp/kova-example-XXXXXX";
    int fd = mkstemp(xml_path);
    if (fd < 0 || write(fd, "<a><b c=\"d\"/></a>", 17) != 17 || lseek(fd, 0, SEEK_SET) != 0) return 7;
    unlink(xml_path);
    mxml_node_t *tree = kova_xml_loadfd(NULL, fd, MXML_NO_CALLBACK);
    close(fd);
    const char *attr = kova_xml_element_getattr(kova_xml_findpath(tree, "b"), "c");
    if (attr == NULL || strcmp(attr, "d") != 0) return 8;
    kova_xml_del(tree);
    printf("jiffies %llu\n", (unsigned long long)kova_get_jiffies());
    return 0;
}
