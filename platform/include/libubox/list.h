/* Circular doubly linked lists, embedded in the records they link. */
#ifndef LIBUBOX_LIST_H
#define LIBUBOX_LIST_H

#include <stddef.h>
#include <stdbool.h>
#include "utils.h"

#ifdef __cplusplus
extern "C" {
#endif

struct list_head {
	struct list_head *next;
	struct list_head *prev;
};

#define LIST_HEAD_INIT(name) { &(name), &(name) }
#undef LIST_HEAD
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

static inline void INIT_LIST_HEAD(struct list_head *list)
{
	list->next = list;
	list->prev = list;
}

static inline bool list_empty(const struct list_head *head)
{
	return head->next == head;
}

static inline bool list_is_first(const struct list_head *list, const struct list_head *head)
{
	return list->prev == head;
}

static inline bool list_is_last(const struct list_head *list, const struct list_head *head)
{
	return list->next == head;
}

static inline void _list_insert(struct list_head *entry, struct list_head *prev,
				struct list_head *next)
{
	next->prev = entry;
	entry->next = next;
	entry->prev = prev;
	prev->next = entry;
}

static inline void list_add(struct list_head *entry, struct list_head *head)
{
	_list_insert(entry, head, head->next);
}

static inline void list_add_tail(struct list_head *entry, struct list_head *head)
{
	_list_insert(entry, head->prev, head);
}

static inline void list_del(struct list_head *entry)
{
	entry->next->prev = entry->prev;
	entry->prev->next = entry->next;
	entry->next = entry->prev = NULL;
}

static inline void list_del_init(struct list_head *entry)
{
	entry->next->prev = entry->prev;
	entry->prev->next = entry->next;
	INIT_LIST_HEAD(entry);
}

static inline void list_move_tail(struct list_head *entry, struct list_head *head)
{
	list_del(entry);
	list_add_tail(entry, head);
}

#define list_entry(ptr, type, field) container_of(ptr, type, field)
#define list_first_entry(ptr, type, field) list_entry((ptr)->next, type, field)
#define list_last_entry(ptr, type, field) list_entry((ptr)->prev, type, field)

#define list_for_each(p, head) \
	for (p = (head)->next; p != (head); p = p->next)

#define list_for_each_safe(p, n, head) \
	for (p = (head)->next, n = p->next; p != (head); p = n, n = p->next)

#define list_for_each_entry(p, h, field) \
	for (p = list_first_entry(h, __typeof__(*p), field); &p->field != (h); \
	     p = list_entry(p->field.next, __typeof__(*p), field))

#define list_for_each_entry_safe(p, n, h, field) \
	for (p = list_first_entry(h, __typeof__(*p), field), \
	     n = list_entry(p->field.next, __typeof__(*p), field); &p->field != (h); \
	     p = n, n = list_entry(n->field.next, __typeof__(*n), field))

#ifdef __cplusplus
}
#endif

#endif
