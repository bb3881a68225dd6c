// A singly linked list of values between a head and a tail node that carry
// none; a node is an element exactly when its `next` is not null.
#include "hbsys9u.h"

#include <new>

extern "C" {

ListNode* hb_listCreate(void) {
    auto* head = new (std::nothrow) ListNode{};
    if (!head) {
        return nullptr;
    }
    auto* tail = new (std::nothrow) ListNode{};
    if (!tail) {
        delete head;
        return nullptr;
    }
    head->next = tail;
    return head;
}

void hb_listDestroy(ListNode* list) {
    while (list) {
        ListNode* next = list->next;
        delete list;
        list = next;
    }
}

ListNode* hb_listInsert(uintptr_t value, ListNode* node) {
    auto* inserted = new (std::nothrow) ListNode{node->next, value};
    if (!inserted) {
        return nullptr;
    }
    node->next = inserted;
    return inserted;
}

uintptr_t hb_listRemove(uintptr_t value, ListNode* node) {
    ListNode* previous = node;
    for (ListNode* current = previous->next; current->next; current = current->next) {
        if (current->item == value) {
            previous->next = current->next;
            delete current;
            return value;
        }
        previous = current;
    }
    return 0;
}

ListNode* hb_listGetNextNode(ListNode* node) {
    ListNode* next = node->next;
    return next->next ? next : nullptr;
}

uintptr_t hb_listItem(ListNode* node) {
    return node->item;
}

} // extern "C"
