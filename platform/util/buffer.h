// Growable text and arrays for the platform libraries, on malloc like the C
// libraries they stand in for: the daemon links them and carries no C++
// runtime, so nothing here may throw or call operator new. Running out of
// memory aborts, as an unhandled allocation failure always did.
#pragma once

#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

namespace plat {

[[noreturn]] inline void out_of_memory()
{
	abort();
}

inline void *checked_realloc(void *p, size_t n)
{
	void *q = realloc(p, n ? n : 1);
	if (!q)
		out_of_memory();
	return q;
}

// A byte string that always keeps a terminating NUL after its contents.
class string {
public:
	string() = default;
	string(const char *s) { append(s); }
	string(std::string_view s) { append(s); }
	string(const char *b, const char *e) { append(b, static_cast<size_t>(e - b)); }
	string(const string &o) { append(o.view()); }
	string(string &&o) noexcept : p_(o.p_), len_(o.len_), cap_(o.cap_)
	{
		o.p_ = nullptr;
		o.len_ = o.cap_ = 0;
	}
	~string() { free(p_); }
	string &operator=(const string &o)
	{
		if (this != &o)
			assign(o.view());
		return *this;
	}
	string &operator=(string &&o) noexcept
	{
		std::swap(p_, o.p_);
		std::swap(len_, o.len_);
		std::swap(cap_, o.cap_);
		return *this;
	}
	string &operator=(std::string_view s) { return assign(s); }
	string &operator=(const char *s) { return assign(s); }

	const char *c_str() const { return p_ ? p_ : ""; }
	const char *data() const { return c_str(); }
	char *data()
	{
		reserve(len_);
		return p_;
	}
	size_t size() const { return len_; }
	bool empty() const { return len_ == 0; }
	std::string_view view() const { return {c_str(), len_}; }
	operator std::string_view() const { return view(); }

	void reserve(size_t n)
	{
		if (p_ && n < cap_)
			return;
		size_t cap = cap_ ? cap_ : 16;
		while (cap <= n)
			cap *= 2;
		p_ = static_cast<char *>(checked_realloc(p_, cap));
		p_[len_] = 0;
		cap_ = cap;
	}
	void clear()
	{
		len_ = 0;
		if (p_)
			p_[0] = 0;
	}
	string &assign(std::string_view s)
	{
		if (p_ && s.data() >= p_ && s.data() <= p_ + len_) {
			string copy(s); // a piece of ourselves
			return *this = std::move(copy);
		}
		clear();
		return append(s);
	}
	string &append(const char *s, size_t n)
	{
		reserve(len_ + n);
		memmove(p_ + len_, s, n);
		len_ += n;
		p_[len_] = 0;
		return *this;
	}
	string &append(std::string_view s) { return append(s.data(), s.size()); }
	string &append(const char *s) { return append(std::string_view(s)); }
	void push_back(char c) { append(&c, 1); }
	string &operator+=(std::string_view s) { return append(s); }
	string &operator+=(const char *s) { return append(s); }
	string &operator+=(const string &s) { return append(s.view()); }
	string &operator+=(char c)
	{
		push_back(c);
		return *this;
	}

	friend string operator+(string a, std::string_view b) { return std::move(a.append(b)); }
	friend string operator+(string a, const char *b) { return std::move(a.append(b)); }
	friend string operator+(string a, const string &b) { return std::move(a.append(b.view())); }
	friend string operator+(string a, char b) { return std::move(a += b); }
	friend bool operator==(const string &a, const string &b) { return a.view() == b.view(); }
	friend bool operator==(const string &a, std::string_view b) { return a.view() == b; }
	friend bool operator==(const string &a, const char *b) { return a.view() == b; }

private:
	char *p_ = nullptr;
	size_t len_ = 0;
	size_t cap_ = 0;
};

inline string to_string(long v)
{
	char buf[24];
	int n = snprintf(buf, sizeof(buf), "%ld", v);
	return string(std::string_view(buf, static_cast<size_t>(n)));
}

// A growable array; elements move when it grows.
template <typename T> class vector {
public:
	vector() = default;
	explicit vector(size_t n) { resize(n); }
	template <typename It> vector(It b, It e)
	{
		if constexpr (std::is_pointer_v<It> && std::is_trivially_copyable_v<T>) {
			reserve(static_cast<size_t>(e - b));
			memcpy(p_, b, static_cast<size_t>(e - b) * sizeof(T));
			n_ = static_cast<size_t>(e - b);
		} else {
			for (; b != e; ++b)
				emplace_back(*b);
		}
	}
	vector(const vector &o)
	{
		reserve(o.n_);
		for (const T &v : o)
			emplace_back(v);
	}
	vector(vector &&o) noexcept : p_(o.p_), n_(o.n_), cap_(o.cap_)
	{
		o.p_ = nullptr;
		o.n_ = o.cap_ = 0;
	}
	~vector()
	{
		clear();
		free(p_);
	}
	vector &operator=(const vector &o)
	{
		if (this != &o) {
			vector copy(o);
			swap(copy);
		}
		return *this;
	}
	vector &operator=(vector &&o) noexcept
	{
		swap(o);
		return *this;
	}
	void swap(vector &o) noexcept
	{
		std::swap(p_, o.p_);
		std::swap(n_, o.n_);
		std::swap(cap_, o.cap_);
	}

	T *data() { return p_; }
	const T *data() const { return p_; }
	size_t size() const { return n_; }
	bool empty() const { return n_ == 0; }
	T *begin() { return p_; }
	T *end() { return p_ + n_; }
	const T *begin() const { return p_; }
	const T *end() const { return p_ + n_; }
	T &operator[](size_t i) { return p_[i]; }
	const T &operator[](size_t i) const { return p_[i]; }
	T &front() { return p_[0]; }
	T &back() { return p_[n_ - 1]; }

	void reserve(size_t n)
	{
		if (n <= cap_)
			return;
		size_t cap = cap_ ? cap_ * 2 : 4;
		while (cap < n)
			cap *= 2;
		if constexpr (std::is_trivially_copyable_v<T>) {
			p_ = static_cast<T *>(checked_realloc(p_, cap * sizeof(T)));
			cap_ = cap;
			return;
		}
		T *q = static_cast<T *>(checked_realloc(nullptr, cap * sizeof(T)));
		for (size_t i = 0; i < n_; i++) {
			::new (static_cast<void *>(q + i)) T(std::move(p_[i]));
			p_[i].~T();
		}
		free(p_);
		p_ = q;
		cap_ = cap;
	}
	template <typename... A> T &emplace_back(A &&...a)
	{
		reserve(n_ + 1);
		T *v = ::new (static_cast<void *>(p_ + n_)) T{std::forward<A>(a)...};
		n_++;
		return *v;
	}
	void push_back(const T &v) { emplace_back(v); }
	void push_back(T &&v) { emplace_back(std::move(v)); }
	void pop_back() { p_[--n_].~T(); }
	// Keeps the order of the rest.
	void erase(T *at)
	{
		for (T *q = at; q + 1 < end(); q++)
			*q = std::move(q[1]);
		pop_back();
	}
	void resize(size_t n)
	{
		reserve(n);
		while (n_ < n)
			::new (static_cast<void *>(p_ + n_++)) T();
		while (n_ > n)
			pop_back();
	}
	void clear() { resize(0); }
	size_t capacity() const { return cap_; }
	// Replaces the contents; the storage stays when it is large enough.
	void assign(const T *b, const T *e)
		requires std::is_trivially_copyable_v<T>
	{
		n_ = 0;
		reserve(static_cast<size_t>(e - b));
		if (e != b)
			memcpy(p_, b, static_cast<size_t>(e - b) * sizeof(T));
		n_ = static_cast<size_t>(e - b);
	}

	friend bool operator==(const vector &a, const vector &b)
	{
		if (a.n_ != b.n_)
			return false;
		for (size_t i = 0; i < a.n_; i++) {
			if (!(a.p_[i] == b.p_[i]))
				return false;
		}
		return true;
	}

private:
	T *p_ = nullptr;
	size_t n_ = 0;
	size_t cap_ = 0;
};

// Objects the libraries allocate for their callers, on malloc.
template <typename T, typename... A> T *make(A &&...a)
{
	return ::new (checked_realloc(nullptr, sizeof(T))) T(std::forward<A>(a)...);
}

template <typename T> void destroy(T *p)
{
	if (!p)
		return;
	p->~T();
	free(p);
}

} // namespace plat
