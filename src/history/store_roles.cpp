// A lab's store on a PostgreSQL server: the rules the server keeps on every run (its own clock,
// the role that stored it, a bench adds and never rewrites), the two group roles with the least
// privileges each needs, the administrator's set-up (--init-store), and what a role lacks said
// in words.
//
// The rules are triggers rather than row-level security: a policy hides the rows a role may not
// change, so a bench's attempt to rewrite a finished run or another bench's run would "succeed"
// changing nothing (UPDATE 0), while a trigger refuses it with an error that says why; and the
// same triggers put the server's time and the role on the run, which no client can forge. The
// privileges do the rest: a bench has no DELETE, no UPDATE of steps or results, and UPDATE of
// runs only on the columns that close a run. The tables' owner (the administrator) is not bound
// by the triggers.
#include "history/store_internal.h"
#include "rt/format.h"

namespace history {

namespace {

constexpr const char *kBenchRole = "tessock_bench";
constexpr const char *kReaderRole = "tessock_reader";

// The server's clock as the store keeps it.
#define TESSOCK_SERVER_NOW "to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')"

// On runs: the server's clock and the role on every new run; for anyone but the owner, only the
// role's own unfinished runs are changed (a repeat of the end that is stored changes nothing).
constexpr const char *kRunRules = R"sql(
DECLARE
  stamp text := )sql" TESSOCK_SERVER_NOW R"sql(;
  owner boolean := pg_has_role(current_user, (SELECT relowner FROM pg_class WHERE oid = TG_RELID), 'USAGE');
BEGIN
  IF TG_OP = 'INSERT' THEN
    NEW.store_start := stamp;
    NEW.store_end := CASE WHEN NEW.finished <> 0 THEN stamp END;
    NEW.stored_by := current_user;
    RETURN NEW;
  END IF;
  IF NOT owner THEN
    IF OLD.stored_by IS DISTINCT FROM current_user THEN
      RAISE EXCEPTION 'run % was stored by %, not by the role %: it is not changed', OLD.id,
        COALESCE(OLD.stored_by, 'an earlier program'), current_user
        USING ERRCODE = 'insufficient_privilege';
    END IF;
    IF OLD.finished <> 0 THEN
      IF (NEW.finished, NEW.verdict, NEW.error_counts, NEW.how, NEW.fail_copy, NEW.reason)
         IS NOT DISTINCT FROM
         (OLD.finished, OLD.verdict, OLD.error_counts, OLD.how, OLD.fail_copy, OLD.reason) THEN
        RETURN NULL;
      END IF;
      RAISE EXCEPTION 'run % has ended: a finished run is not changed', OLD.id
        USING ERRCODE = 'insufficient_privilege';
    END IF;
  END IF;
  NEW.store_start := OLD.store_start;
  NEW.stored_by := OLD.stored_by;
  NEW.store_end := CASE WHEN OLD.finished = 0 AND NEW.finished <> 0 THEN stamp
                        ELSE OLD.store_end END;
  RETURN NEW;
END
)sql";

// On steps and results: for anyone but the owner, lines go only to the role's own unfinished
// runs (a repeat of a step or line a finished run holds, by its ordinal or line number, is left
// out, as ON CONFLICT DO NOTHING would).
constexpr const char *kLineRules = R"sql(
DECLARE
  done bigint;
  author text;
BEGIN
  IF pg_has_role(current_user, (SELECT relowner FROM pg_class WHERE oid = TG_RELID), 'USAGE') THEN
    RETURN NEW;
  END IF;
  SELECT finished, stored_by INTO done, author FROM runs WHERE id = NEW.run_id;
  IF NOT FOUND THEN
    RETURN NEW;
  END IF;
  IF author IS DISTINCT FROM current_user THEN
    RAISE EXCEPTION 'run % was stored by %, not by the role %: no line is added to it',
      NEW.run_id, COALESCE(author, 'an earlier program'), current_user
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  IF done <> 0 THEN
    IF TG_TABLE_NAME = 'results' THEN
      IF EXISTS (SELECT 1 FROM results WHERE run_id = NEW.run_id AND line = NEW.line) THEN
        RETURN NULL;
      END IF;
    ELSIF EXISTS (SELECT 1 FROM steps WHERE run_id = NEW.run_id AND ordinal = NEW.ordinal) THEN
      RETURN NULL;
    END IF;
    RAISE EXCEPTION 'run % has ended: no line is added to a finished run', NEW.run_id
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  RETURN NEW;
END
)sql";

std::string rulesSql() {
  return std::string(
             "CREATE OR REPLACE FUNCTION tessock_run_rules() RETURNS trigger LANGUAGE plpgsql "
             "AS $rules$") +
         kRunRules +
         "$rules$;\n"
         "CREATE OR REPLACE FUNCTION tessock_line_rules() RETURNS trigger LANGUAGE plpgsql "
         "AS $rules$" +
         kLineRules +
         "$rules$;\n"
         "CREATE OR REPLACE TRIGGER tessock_run_rules BEFORE INSERT OR UPDATE ON runs FOR EACH ROW "
         "EXECUTE FUNCTION tessock_run_rules();\n"
         "CREATE OR REPLACE TRIGGER tessock_step_rules BEFORE INSERT ON steps FOR EACH ROW "
         "EXECUTE FUNCTION tessock_line_rules();\n"
         "CREATE OR REPLACE TRIGGER tessock_result_rules BEFORE INSERT ON results FOR EACH ROW "
         "EXECUTE FUNCTION tessock_line_rules();\n";
}

// What each group role may do, and nothing more.
struct Grant {
  const char *privilege, *table, *column;  // column: null for the whole table
};
constexpr const char *kTables[] = {"tessock_store", "runs", "steps", "results"};
constexpr const char *kClosing[] = {"finished",  "verdict", "error_counts", "how",
                                    "fail_copy", "reason",  "store_end"};
constexpr const char *kTablePrivileges[] = {"SELECT",   "INSERT",     "UPDATE", "DELETE",
                                            "TRUNCATE", "REFERENCES", "TRIGGER"};

std::vector<Grant> grantsOf(detail::Need need) {
  std::vector<Grant> g;
  for (const char *t : kTables) g.push_back({"SELECT", t, nullptr});
  if (need == detail::Need::Bench) {
    for (const char *t : {"runs", "steps", "results"}) g.push_back({"INSERT", t, nullptr});
    for (const char *c : kClosing) g.push_back({"UPDATE", "runs", c});
  }
  return g;
}

// As said and as SQL takes it ("INSERT on results", "UPDATE (verdict) on runs").
std::string grantText(const Grant &g) {
  return g.column ? rt::format("%s (%s) on %s", g.privilege, g.column, g.table)
                  : rt::format("%s on %s", g.privilege, g.table);
}

// One boolean of the server; false with `error` set on a failure.
bool ask(Database &db, const std::string &sql, const std::vector<std::string> &texts, bool &answer,
         std::string &error) {
  Statement st = db.prepare(sql, error);
  if (!st) return false;
  for (size_t k = 0; k < texts.size(); ++k) st.bind(static_cast<int>(k + 1), texts[k]);
  answer = st.step() && st.text(0) == "t";
  if (!st.error().empty()) error = st.error();
  return error.empty();
}

// Whether `role` (empty: the connected one) holds the grant.
bool holds(Database &db, const std::string &role, const Grant &g, bool &answer,
           std::string &error) {
  // Typed arguments: the functions have forms for names, oids and text.
  std::vector<std::string> texts;
  std::string args;
  auto arg = [&](const std::string &value, const char *type) {
    texts.push_back(value);
    args += (texts.size() > 1 ? ", ?" : "?") + std::to_string(texts.size()) + "::" + type;
  };
  if (!role.empty()) arg(role, "name");
  arg(g.table, "text");
  if (g.column) arg(g.column, "text");
  arg(g.privilege, "text");
  return ask(db,
             std::string("SELECT ") +
                 (g.column ? "has_column_privilege(" : "has_table_privilege(") + args + ")",
             texts, answer, error);
}

// Whether the rules are there as this program writes them.
bool rulesInPlace(Database &db, bool &answer, std::string &error) {
  return ask(db,
             "SELECT (SELECT COUNT(*) FROM pg_trigger WHERE NOT tgisinternal AND tgname IN "
             "('tessock_run_rules', 'tessock_step_rules', 'tessock_result_rules')) = 3 AND "
             "(SELECT COUNT(*) FROM pg_proc WHERE (proname = 'tessock_run_rules' AND prosrc = ?1) "
             "OR (proname = 'tessock_line_rules' AND prosrc = ?2)) = 2",
             {kRunRules, kLineRules}, answer, error);
}

}  // namespace

namespace detail {

std::string ServerRulesSql() { return rulesSql(); }

std::string RoleName(Database &db) {
  if (!db.isServer()) return {};
  std::string error;
  Statement st = db.prepare("SELECT current_user", error);
  return st && st.step() ? st.text(0) : std::string();
}

std::vector<std::string> MissingPrivileges(Database &db, Need need, std::string &error) {
  std::vector<std::string> missing;
  if (!db.isServer()) return missing;
  for (const Grant &g : grantsOf(need)) {
    bool has = false;
    if (!holds(db, {}, g, has, error)) return {};
    if (!has) missing.push_back(grantText(g));
  }
  return missing;
}

}  // namespace detail

std::string Store::refusal(const std::string &error, bool writing) {
  refused_ = db_.isServer() && db_.lastFailureRefused();
  if (!refused_) return error;
  std::string why;
  const std::vector<std::string> missing =
      detail::MissingPrivileges(db_, writing ? detail::Need::Bench : detail::Need::Reader, why);
  // Nothing missing: a rule of the store refused it, and the server's message says which.
  if (missing.empty()) return error;
  std::string list;
  for (const std::string &m : missing) list += (list.empty() ? "" : ", ") + m;
  return "the role " + detail::RoleName(db_) + " lacks " + list + " (" + error + ")";
}

bool Store::setUp(std::vector<std::string> &said, std::string &reason) {
  db_.close();
  standIn_ = writable_ = false;
  settingUp_ = true;
  schemaChange_.clear();
  const bool opened = open(reason);
  settingUp_ = false;
  if (!opened) return false;
  said.push_back(schemaChange_.empty() ? rt::format("store: version %d, up to date", kVersion)
                                       : "store: " + schemaChange_);
  bool changed = !schemaChange_.empty();
  if (!isServer()) {
    said.push_back("roles: none on a SQLite file; whoever may write the file may change it");
    said.push_back(changed ? "done" : "nothing changed");
    return true;
  }
  auto fail = [&](const std::string &why) {
    reason = name_ + ": " + why;
    return false;
  };
  std::string error;
  bool inPlace = false;
  if (!rulesInPlace(db_, inPlace, error)) return fail(error);
  if (!inPlace) {
    if (!db_.exec(rulesSql(), error)) return fail(error);
    said.push_back("rules: a bench adds runs and closes its own; a finished run is not changed");
    changed = true;
  }
  for (const auto &[role, need] :
       {std::pair{kBenchRole, detail::Need::Bench}, std::pair{kReaderRole, detail::Need::Reader}}) {
    const std::string r = role;
    bool exists = false;
    if (!ask(db_, "SELECT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = ?1)", {r}, exists, error))
      return fail(error);
    if (!exists) {
      // Roles belong to the whole server: another database's set-up may make it meanwhile.
      if (!db_.exec("CREATE ROLE " + r + " NOLOGIN", error) &&
          !(ask(db_, "SELECT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = ?1)", {r}, exists,
                error) &&
            exists))
        return fail(error);
      said.push_back("role " + r +
                     ": made (a group: " + (need == detail::Need::Bench ? "benches" : "readers") +
                     " log in as roles granted it)");
      changed = true;
    }
    // What it holds beyond its grants goes first (taking a table's UPDATE back takes its
    // columns' too), then what it lacks is given.
    const std::vector<Grant> wanted = grantsOf(need);
    auto isWanted = [&](const Grant &g) {
      for (const Grant &w : wanted)
        if (std::string(w.privilege) == g.privilege && std::string(w.table) == g.table &&
            !w.column == !g.column && (!g.column || std::string(w.column) == g.column))
          return true;
      return false;
    };
    std::vector<Grant> extra;
    for (const char *t : kTables)
      for (const char *p : kTablePrivileges)
        if (Grant g{p, t, nullptr}; !isWanted(g)) extra.push_back(g);
    Statement columns = db_.prepare(
        "SELECT attname FROM pg_attribute WHERE attrelid = 'runs'::regclass AND attnum > 0 AND "
        "NOT attisdropped ORDER BY attnum",
        error);
    std::vector<std::string> names;
    while (columns && columns.step()) names.push_back(columns.text(0));
    if (!columns || !columns.error().empty()) return fail(columns ? columns.error() : error);
    for (const std::string &c : names) {
      bool closing = false;
      for (const char *k : kClosing) closing = closing || c == k;
      if (!closing) extra.push_back({"UPDATE", "runs", c.c_str()});
    }
    for (const Grant &g : extra) {
      bool has = false;
      if (!holds(db_, r, g, has, error)) return fail(error);
      if (!has) continue;
      if (!db_.exec("REVOKE " + grantText(g) + " FROM " + r, error)) return fail(error);
      said.push_back("role " + r + ": took back " + grantText(g));
      changed = true;
    }
    for (const Grant &g : wanted) {
      bool has = false;
      if (!holds(db_, r, g, has, error)) return fail(error);
      if (has) continue;
      if (!db_.exec("GRANT " + grantText(g) + " TO " + r, error)) return fail(error);
      said.push_back("role " + r + ": granted " + grantText(g));
      changed = true;
    }
  }
  said.push_back(changed ? "done" : "nothing changed");
  return true;
}

}  // namespace history
